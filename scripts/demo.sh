#!/usr/bin/env bash
# Demo: sets up and builds the three programs it runs, makes version 1 of a demo client and
# installs it, publishes versions 2 and 3 with quorvel-publish to a mirror tree that nginx
# serves on four loopback ports, starts the reference update server announcing version 3, and
# runs the updater in the installation. It updates by itself, starts the demo client and
# closes; then the demo checks that the installation equals version 3. Without $DISPLAY the
# window is offscreen and the updater's log is summed up on the terminal. Everything it starts is stopped at the end,
# also on Ctrl+C, and its folder is removed. DEMO_SCREENSHOT=file.png saves a picture of the
# window as it closes at the end of the update.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
START=$(date +%s)

bash scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -G Ninja
# Only the programs the demo runs: the tests are most of a whole build (scripts/build.sh).
cmake --build "$BUILD_DIR" -j "$(nproc)" --target update quorvel-publish quorvel-update-server

DEMO=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-demo.XXXXXX")
source scripts/servers.sh
cleanup() {
  stop_servers
  rm -rf "$DEMO"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT TERM

PUBLISH="$BUILD_DIR/tools/quorvel-publish/quorvel-publish"
KEY="$ROOT/keys/demo_private.key" # the key the default build embeds
say() { echo "demo: $*"; }

# --- The client: version 1 installed, versions 2 and 3 published -------------------------
for v in 1 2 3; do python3 scripts/make_demo_release.py "$DEMO/release$v" "$v"; done
say "demo client: $(find "$DEMO/release1" -type f | wc -l) files, $(du -sh "$DEMO/release1" | cut -f1) in version 1"
INSTALL="$DEMO/installation"
cp -a "$DEMO/release1" "$INSTALL"
cp "$BUILD_DIR/src/update" "$INSTALL/update"
MIRROR="$DEMO/mirror"
mkdir -p "$MIRROR"
printf 'Version 2: faster start-up.\n' > "$DEMO/changes2.txt"
printf 'Version 3: a new chat window; fewer files.\n' > "$DEMO/changes3.txt"
"$PUBLISH" release --key "$KEY" --version 2 --changelog "$DEMO/changes2.txt" --previous "$DEMO/release1" \
  "$DEMO/release2" "$MIRROR"
"$PUBLISH" release --key "$KEY" --version 3 --changelog "$DEMO/changes3.txt" \
  --previous "$MIRROR/2/client_linux_amd64.ini" "$DEMO/release3" "$MIRROR"
chmod -R a+rX "$MIRROR"

# --- Four mirrors: one nginx on four free loopback ports --------------------------------
PORTS=$(free_ports 4)
# shellcheck disable=SC2086 # one argument per port
NGINX_ACCESS_LOG="$DEMO/nginx/access.log" start_nginx "$DEMO/nginx" "$MIRROR" $PORTS
{
  printf '[mirrors]\nsize=4\n'
  i=1; for p in $PORTS; do printf '%d\\mirror=mirror%d\n' "$i" "$i"; i=$((i + 1)); done
  i=1; for p in $PORTS; do printf '[mirror%d]\nurl=http://127.0.0.1:%s/\n' "$i" "$p"; i=$((i + 1)); done
} > "$INSTALL/mirrors.ini"
for p in $PORTS; do wait_for_url "http://127.0.0.1:$p/3/client_linux_amd64.ini"; done
say "mirrors: nginx on 127.0.0.1 ports $PORTS"

# --- The update server: version 3 on the stable channel ----------------------------------
cat > "$DEMO/server.conf" <<'CONF'
[stable]
version = 3
label = 3.0 (demo)

[news]
text = Quorvel 3.0 is out: a new chat window.\nThis text comes from the demo update server.
CONF
start_update_server "$BUILD_DIR" "$DEMO/server.conf" "$DEMO/server.log"
say "update server on 127.0.0.1, version port $VERSION_PORT, banner port $BANNER_PORT"

# --- The update ---------------------------------------------------------------------------
export QUORVEL_UPDATE_SERVER_ADDRESS="127.0.0.1:$VERSION_PORT:$BANNER_PORT"
export QUORVEL_DEMO_CLIENT_LOG="$DEMO/client.log"
export QUORVEL_PRINT_LOG=1 # the window's log on stdout when the updater ends
if [ -n "${DEMO_SCREENSHOT:-}" ]; then
  case "$DEMO_SCREENSHOT" in /*) ;; *) DEMO_SCREENSHOT="$ROOT/$DEMO_SCREENSHOT" ;; esac
  export QUORVEL_SCREENSHOT_AT_CLOSE="$DEMO_SCREENSHOT" QUORVEL_SCREENSHOT_CLICK=detailsButton
fi
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
say "running $INSTALL/update --nouser (${QT_QPA_PLATFORM:-on your display})"
"$INSTALL/update" --nouser > "$DEMO/update.log" 2>&1 &
UPDATER=$!
SERVER_PIDS+=("$UPDATER") # stopped with the servers on Ctrl+C
CODE=0
wait "$UPDATER" || CODE=$?
say "updater ended with code $CODE; its log, lines about single files counted by kind:"
# A line about one file is of the kind its text says with the file left out; any other line
# is its own kind, so only repeats of the very same line are counted together.
grep -v -e '^qt\.' -e '^QStandardPaths: ' -e '^This plugin does not support' "$DEMO/update.log" | awk '
  function kindOf(text) {
    if (text ~ /^Downloading .* finished$/) return "Downloading FILE finished"
    if (text ~ /^Downloading / && text != "Downloading files") return "Downloading FILE"
    if (text ~ /^Abort downloading /) return "Abort downloading FILE"
    if (text ~ /^add\/replace /) return "add/replace FILE"
    if (text ~ /^md5 sum for .* failed, invalidating mirror and retrying$/) return "md5 sum for FILE failed"
    return "=" text
  }
  { kind[NR] = kindOf($0); line[NR] = $0; count[kind[NR]]++ }
  END {
    for (i = 1; i <= NR; i++) {
      k = kind[i]
      if (count[k] <= 3 && substr(k, 1, 1) != "=") print "  | " line[i]
      else if (!shown[k]++) {
        if (count[k] == 1) print "  | " line[i]
        else if (substr(k, 1, 1) == "=") printf "  | %s (%d times)\n", line[i], count[k]
        else printf "  | %s ... (%d lines \"%s\")\n", line[i], count[k], k
      }
    }
  }'
for _ in $(seq 50); do [ -s "$DEMO/client.log" ] && break; sleep 0.1; done
say "the client it started says: $(cat "$DEMO/client.log" 2>/dev/null || echo '(nothing)')"
say "the update server answered: $(sed -n '2,$p' "$DEMO/server.log" | awk '{print $3}' | sort | uniq -c | xargs)"
say "the mirrors served $(grep -c ' 200 ' "$DEMO/nginx/access.log") files"

# --- The check ------------------------------------------------------------------------------
if diff -r -q -x update.ini -x mirrors.ini -x update -x _old_update "$DEMO/release3" "$INSTALL" > "$DEMO/diff.txt"; then
  say "the installation equals version 3 ($(find "$INSTALL" -type f | wc -l) files) after $(( $(date +%s) - START )) s"
else
  say "the installation differs from version 3:" >&2
  head -n 20 "$DEMO/diff.txt" >&2
  exit 1
fi
