#!/usr/bin/env bash
# One 512 MiB file from a local nginx: DownloadTaskSpecification (bench_download) against
# `curl -o`, best and median wall time of 5 alternating runs each (RUNS), and the peak
# resident memory of each. Wall times are dominated by the page cache taking 512 MiB of
# dirty data, so every run starts after a sync.
#
#     bench/download/run.sh [build dir]     (default: build/ of this repository)
set -euo pipefail

BUILD_DIR=$(realpath "${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}")
SIZE_MIB=${SIZE_MIB:-512}
RUNS=${RUNS:-5}
cmake --build "$BUILD_DIR" --target bench_download >/dev/null 2>&1 || cmake --build "$BUILD_DIR" --target bench_download
DRIVER="$BUILD_DIR/bench/download/bench_download"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_download.XXXXXX")
chmod 755 "$WORK"
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www/1" "$WORK/nginx"
head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom > "$WORK/www/1/big.bin"
chmod -R a+rX "$WORK/www"

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
USER_LINE=""
[ "$(id -u)" -eq 0 ] && USER_LINE="user $(id -un) $(id -gn);"
cat > "$WORK/nginx/nginx.conf" <<CONF
$USER_LINE
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$PORT;
    root $WORK/www;
  }
}
CONF
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" &
NGINX_PID=$!
URL="http://127.0.0.1:$PORT"
for _ in $(seq 50); do
  curl -sf -o /dev/null -r 0-0 "$URL/1/big.bin" && break
  sleep 0.1
done

printf '[mirrors]\n1\\mirror=local\nsize=1\n[local]\nurl=%s\n' "$URL" > "$WORK/mirrors.ini"
cat "$WORK/www/1/big.bin" > /dev/null

measure() {  # label, output file, command...: appends "seconds kib" to $WORK/<label>
  local label=$1 out=$2
  shift 2
  rm -f "$out"
  sync
  /usr/bin/time -f '%e %M' -o "$WORK/time.txt" "$@" 2>>"$WORK/$label.log"
  [ "$(stat -c %s "$out")" -eq "$((SIZE_MIB * 1024 * 1024))" ] || { echo "$label: wrong size" >&2; exit 1; }
  cmp -s "$out" "$WORK/www/1/big.bin" || { echo "$label: content differs" >&2; exit 1; }
  rm -f "$out"
  cat "$WORK/time.txt" >> "$WORK/$label"
}

for _ in $(seq "$RUNS"); do
  measure ours "$WORK/ours.bin" "$DRIVER" "$WORK/mirrors.ini" 1 big.bin "$WORK/ours.bin"
  measure curl "$WORK/curl.bin" curl -s -o "$WORK/curl.bin" "$URL/1/big.bin"
done

best() { sort -n "$WORK/$1" | head -1 | cut -d' ' -f1; }
median() { sort -n "$WORK/$1" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
peak() { sort -k2 -n "$WORK/$1" | tail -1 | cut -d' ' -f2; }
echo "runs (s, KiB): ours: $(tr '\n' ' ' < "$WORK/ours")| curl: $(tr '\n' ' ' < "$WORK/curl")"
for stat in best median; do
  awk -v s="$stat" -v o="$($stat ours)" -v c="$($stat curl)" -v om="$(peak ours)" -v cm="$(peak curl)" \
      -v mib="$SIZE_MIB" 'BEGIN {
    printf "download %d MiB (%s): ours %.2f s, curl %.2f s, ratio %.2f, peak RSS ours %d KiB, curl %d KiB\n",
           mib, s, o, c, (c > 0 ? o / c : 0), om, cm }'
done
