#!/usr/bin/env bash
# One 512 MiB file from a local nginx, over HTTP and over HTTPS (a certificate of a local
# authority made for the run): DownloadTaskSpecification (bench_download) against `curl -o`,
# best and median wall time of 5 alternating runs each (RUNS), and the peak resident memory
# of each. Wall times are dominated by the page cache taking 512 MiB of dirty data, so every
# run starts after a sync.
#
#     bench/download/run.sh [build dir]     (default: build/ of this repository)
#     DRIVER_BIN=path (another build of bench_download, e.g. to compare before and after)
set -euo pipefail

BUILD_DIR=$(realpath "${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}")
SIZE_MIB=${SIZE_MIB:-512}
RUNS=${RUNS:-5}
cmake --build "$BUILD_DIR" --target bench_download >/dev/null 2>&1 || cmake --build "$BUILD_DIR" --target bench_download
DRIVER=${DRIVER_BIN:-$BUILD_DIR/bench/download/bench_download}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_download.XXXXXX")
chmod 755 "$WORK"
source "$(dirname "$0")/../../scripts/servers.sh"
cleanup() {
  stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www/1" "$WORK/nginx"
BYTES=$((SIZE_MIB * 1024 * 1024))  # the size a product ini would list
head -c "$BYTES" /dev/urandom > "$WORK/www/1/big.bin"
chmod -R a+rX "$WORK/www"

read -r PORT TLS_PORT < <(free_ports 2)
start_nginx "$WORK/nginx" "$WORK/www" "$PORT" "$TLS_PORT:tls"
URL="http://127.0.0.1:$PORT"
TLS_URL="https://127.0.0.1:$TLS_PORT"
CA="$WORK/nginx/tls/ca.pem"
for _ in $(seq 50); do
  curl -sf -o /dev/null -r 0-0 "$URL/1/big.bin" && curl -sf --cacert "$CA" -o /dev/null -r 0-0 "$TLS_URL/1/big.bin" \
    && break
  sleep 0.1
done

printf '[mirrors]\n1\\mirror=local\nsize=1\n[local]\nurl=%s\n' "$URL" > "$WORK/mirrors.ini"
printf '[mirrors]\n1\\mirror=local\nsize=1\n[local]\nurl=%s\n' "$TLS_URL" > "$WORK/mirrors-tls.ini"
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
  measure ours "$WORK/ours.bin" "$DRIVER" "$WORK/mirrors.ini" 1 big.bin "$WORK/ours.bin" "$BYTES"
  measure curl "$WORK/curl.bin" curl -s -o "$WORK/curl.bin" "$URL/1/big.bin"
  [ -n "${NO_TLS:-}" ] && continue
  measure ours_tls "$WORK/ours.bin" env QUORVEL_CA_FILE="$CA" "$DRIVER" "$WORK/mirrors-tls.ini" 1 big.bin \
    "$WORK/ours.bin" "$BYTES"
  measure curl_tls "$WORK/curl.bin" curl -s --cacert "$CA" -o "$WORK/curl.bin" "$TLS_URL/1/big.bin"
done

best() { sort -n "$WORK/$1" | head -1 | cut -d' ' -f1; }
median() { sort -n "$WORK/$1" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
peak() { sort -k2 -n "$WORK/$1" | tail -1 | cut -d' ' -f2; }
report() {  # label of ours, label of curl, what
  local o=$1 c=$2 what=$3 stat
  echo "runs $what (s, KiB): ours: $(tr '\n' ' ' < "$WORK/$o")| curl: $(tr '\n' ' ' < "$WORK/$c")"
  for stat in best median; do
    awk -v s="$stat" -v o="$($stat "$o")" -v c="$($stat "$c")" -v om="$(peak "$o")" -v cm="$(peak "$c")" \
        -v mib="$SIZE_MIB" -v what="$what" 'BEGIN {
      printf "download %d MiB %s (%s): ours %.2f s, curl %.2f s, ratio %.2f, peak RSS ours %d KiB, curl %d KiB\n",
             mib, what, s, o, c, (c > 0 ? o / c : 0), om, cm }'
  done
}
report ours curl "over HTTP"
[ -n "${NO_TLS:-}" ] || report ours_tls curl_tls "over HTTPS"
