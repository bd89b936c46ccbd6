#!/usr/bin/env bash
# Demo: builds the updater, starts the reference update server on 127.0.0.1 with a demo
# configuration, and runs the updater from a temporary installation directory against it.
# The window shows the version label, channel and news that the server announced.
# Without $DISPLAY it runs under Xvfb and saves a screenshot instead.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac

bash scripts/setup.sh
bash scripts/build.sh

DEMO=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-demo.XXXXXX")
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
}
trap cleanup EXIT

cat > "$DEMO/server.conf" <<'CONF'
[stable]
version = 12345
label = 3.1.0 (build 12345)

[beta]
version = 12400
label = 3.2.0 beta 1 (build 12400)

[news]
text = Quorvel 3.2.0 beta 1 is out: faster start-up and a new chat window.\nThis text comes from the demo update server.
CONF

"$BUILD_DIR/tools/quorvel-update-server/quorvel-update-server" --config "$DEMO/server.conf" \
  --address 127.0.0.1 --version-port 0 --banner-port 0 > "$DEMO/server.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 50); do
  grep -q '^listening ' "$DEMO/server.log" && break
  kill -0 "$SERVER_PID" 2>/dev/null || { cat "$DEMO/server.log" >&2; exit 1; }
  sleep 0.1
done
read -r _ _ _ VERSION_PORT _ BANNER_PORT < <(grep '^listening ' "$DEMO/server.log")
echo "demo: update server on 127.0.0.1, version port $VERSION_PORT, banner port $BANNER_PORT"

# The installation directory: the updater reads update.ini and mirrors.ini next to itself.
INSTALL="$DEMO/installation"
mkdir -p "$INSTALL"
cp "$BUILD_DIR/src/update" "$INSTALL/update"
cat > "$INSTALL/update.ini" <<'INI'
[Channel]
beta=true
INI
cat > "$INSTALL/mirrors.ini" <<'INI'
[mirrors]
size=1
1\mirror=demo

[demo]
url=http://127.0.0.1:8080/
INI

export QUORVEL_UPDATE_SERVER_ADDRESS="127.0.0.1:$VERSION_PORT:$BANNER_PORT"
if [ -z "${DISPLAY:-}" ]; then
  SHOT="$DEMO/screenshot.png"
  QUORVEL_SCREENSHOT="$SHOT" xvfb-run -a "$INSTALL/update"
  echo "demo: screenshot of the window: $SHOT"
else
  "$INSTALL/update"
fi
echo "demo: requests the server answered:"
sed -n '2,$p' "$DEMO/server.log"
