#!/usr/bin/env bash
# Takes the pictures in docs/screenshots/ of the real updater under Xvfb, one run per state:
# a local update server (version, news, banner), a local HTTP mirror with a signed demo
# product (one file sent slowly so that the download can be seen), and the QUORVEL_SCREENSHOT
# seam, which can click the window's buttons before it takes the picture.
# Usage: scripts/screenshots.sh [build dir]   (the build must exist; the demo key signs)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${1:-${BUILD_DIR:-build}}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
OUT="$ROOT/docs/screenshots"
mkdir -p "$OUT"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-shots.XXXXXX")
source "$ROOT/scripts/servers.sh"
cleanup() {
  stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT
VERSION=12345

# The mirror: a signed product ini, a small file, a large one and the change log.
MIRROR="$WORK/mirror/$VERSION"
mkdir -p "$MIRROR/bin"
printf 'Quorvel 3.1.0\n' > "$MIRROR/bin/readme.txt"
head -c 6000000 /dev/urandom > "$MIRROR/bin/client.dat"
{
  echo "[bin]"
  for f in client.dat readme.txt; do
    echo "$f=$(md5sum < "$MIRROR/bin/$f" | cut -c1-32)::$(stat -c %s "$MIRROR/bin/$f")"
  done
} > "$MIRROR/client_linux_amd64.ini"
"$BUILD_DIR/tools/quorvel-publish/quorvel-publish" sign keys/demo_private.key "$MIRROR/client_linux_amd64.ini" >/dev/null
cat > "$MIRROR/changelog_client.txt" <<'LOG'
Quorvel 3.1.0 (build 12345)
===========================

New
 * Chat windows can be docked side by side.
 * Start-up is about a third faster on large contact lists.

Fixed
 * Notifications no longer repeat after the computer wakes up.
 * Pasting an image into a chat keeps its transparency.
LOG
python3 - "$WORK/mirror/banner.png" <<'PY'
import struct, sys, zlib
w, h = 468, 60
rows = b"".join(b"\0" + bytes(v for x in range(w) for v in (30 + x * 120 // w, 90 + y * 2, 170 - x * 60 // w)) for y in range(h))
def chunk(t, d): return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
open(sys.argv[1], "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                              + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
PY
# Sends the large file at about 400 KB/s, everything else at once; port chosen by the system.
cat > "$WORK/mirror.py" <<'PY'
import functools, http.server, sys, time
class Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request, address): pass  # the updater quits mid-download
class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args): pass
    def copyfile(self, source, target):
        if not self.path.endswith("client.dat"):
            return super().copyfile(source, target)
        while chunk := source.read(40000):
            target.write(chunk); target.flush(); time.sleep(0.1)
server = Server(("127.0.0.1", 0), functools.partial(Handler, directory=sys.argv[1]))
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 "$WORK/mirror.py" "$WORK/mirror" > "$WORK/mirror.port" &
SERVER_PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/mirror.port" ] && break; sleep 0.1; done
HTTP_PORT=$(cat "$WORK/mirror.port")
MIRROR_URL="http://127.0.0.1:$HTTP_PORT"

cat > "$WORK/server.conf" <<CONF
[stable]
version = $VERSION
label = 3.1.0 (build $VERSION)

[news]
text = Quorvel 3.1 is out: docked chat windows and a faster start. <a href="https://www.quorvel.invalid/news">Read more</a><!--URL=https://www.quorvel.invalid/news-->

[banner]
image = $MIRROR_URL/banner.png
click = https://www.quorvel.invalid/offer
CONF
start_update_server "$BUILD_DIR" "$WORK/server.conf" "$WORK/server.log"
export QUORVEL_UPDATE_SERVER_ADDRESS="127.0.0.1:$VERSION_PORT:$BANNER_PORT"

# One run of the real program in a fresh installation directory.
# shot NAME DELAY_MS CLICKS MIRRORS(yes/no/broken) [arguments...]
shot() {
  local name=$1 delay=$2 clicks=$3 mirrors=$4
  shift 4
  local install="$WORK/install-$name"
  mkdir -p "$install/translations"
  cp "$BUILD_DIR/src/update" "$install/"
  cp "$BUILD_DIR"/src/translations/*.qm "$install/translations/" 2>/dev/null || true
  local url="$MIRROR_URL/"
  [ "$mirrors" = broken ] && url="$MIRROR_URL/missing/"
  if [ "$mirrors" != no ]; then
    printf '[mirrors]\nsize=1\n1\\mirror=demo\n\n[demo]\nurl=%s\n' "$url" > "$install/mirrors.ini"
  fi
  TMPDIR="$WORK" QUORVEL_SCREENSHOT="$OUT/$name.png" QUORVEL_SCREENSHOT_DELAY="$delay" \
    QUORVEL_SCREENSHOT_CLICK="$clicks" LC_ALL=${SHOT_LOCALE:-C.UTF-8} \
    timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" "$install/update" "$@" \
    > "$WORK/$name.log" 2>&1 || true
  grep -q "screenshot saved" "$WORK/$name.log" || { echo "screenshots: $name failed" >&2; cat "$WORK/$name.log" >&2; exit 1; }
  echo "screenshots: $OUT/$name.png"
}

shot ready 6000 "" yes
shot updating 7000 "detailsButton,startButton" yes
shot finished 25000 "detailsButton,startButton" yes
shot cancelled 6000 "detailsButton,startButton" broken
shot error 2500 "startButton" no
shot changelog 2500 "changelogButton" yes
# The update under way in each language shipped (Qt reads the language from LC_ALL).
for ts in translations/update_*.ts; do
  lang=${ts#translations/update_}
  lang=${lang%.ts}
  SHOT_LOCALE="$lang.UTF-8" shot "updating-$lang" 7000 "detailsButton,startButton" yes
done
# Larger type (150%), a high-contrast palette, and the window when no banner comes.
QUORVEL_FONT_SCALE=1.5 shot ready-150 6000 "" yes
QUORVEL_FONT_SCALE=1.5 shot updating-150 7000 "detailsButton,startButton" yes
QUORVEL_HIGH_CONTRAST=1 shot updating-contrast 7000 "detailsButton,startButton" yes
read -r SILENT_PORT < <(free_ports 1)
QUORVEL_UPDATE_SERVER_ADDRESS="127.0.0.1:$VERSION_PORT:$SILENT_PORT" shot ready-nobanner 6000 "" yes
