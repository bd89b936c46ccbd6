#!/usr/bin/env bash
# `quorvel-publish audit --deep` over a release of SIZE_MIB MiB (default 1024) in FILES files
# (default 8) on one local nginx mirror, against `curl | md5sum` over the same files one
# after the other: wall time, CPU time (user + system) and peak resident memory of each,
# RUNS alternating runs (default 3), best and median, and the ratio of the wall times.
# The files are random (nothing to gain from compression) and in the page cache.
#
#     bench/audit/run.sh [build dir]     (default: build/ of this repository)
set -euo pipefail

BUILD_DIR=$(realpath "${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}")
SIZE_MIB=${SIZE_MIB:-1024}
FILES=${FILES:-8}
RUNS=${RUNS:-3}
cmake --build "$BUILD_DIR" --target quorvel-publish >/dev/null 2>&1 || cmake --build "$BUILD_DIR" --target quorvel-publish
TOOL=$BUILD_DIR/tools/quorvel-publish/quorvel-publish
KEYS=$(cd "$(dirname "$0")/../../tests/keys" && pwd)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_audit.XXXXXX")
chmod 755 "$WORK"
source "$(dirname "$0")/../../scripts/servers.sh"
cleanup() {
  stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT

# The release as `quorvel-publish release` lays it out, without its minute of trying gzip on
# random data: files/part<i>.bin, the product ini with MD5 and size of each, its signature.
RELEASE=$WORK/www/1
mkdir -p "$RELEASE/files" "$WORK/nginx"
echo "[files]" > "$RELEASE/bench.ini"
for i in $(seq "$FILES"); do
  head -c "$((SIZE_MIB * 1024 * 1024 / FILES))" /dev/urandom > "$RELEASE/files/part$i.bin"
  read -r sum _ < <(md5sum "$RELEASE/files/part$i.bin")
  echo "part$i.bin=$sum::$(stat -c %s "$RELEASE/files/part$i.bin")" >> "$RELEASE/bench.ini"
done
"$TOOL" sign "$KEYS/test_private.key" "$RELEASE/bench.ini"
chmod -R a+rX "$WORK/www"

read -r PORT < <(free_ports 1)
start_nginx "$WORK/nginx" "$WORK/www" "$PORT"
URL="http://127.0.0.1:$PORT/1"
wait_for_url "$URL/bench.ini"
printf '[mirrors]\n1\\mirror=local\nsize=1\n[local]\nurl=http://127.0.0.1:%s\n' "$PORT" > "$WORK/mirrors.ini"
cat "$RELEASE"/files/* > /dev/null

measure() {  # label, command...: appends "wall user system kib" to $WORK/<label>
  local label=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$WORK/time.txt" "$@" > "$WORK/$label.out" 2>>"$WORK/$label.log" \
    || { echo "$label failed:" >&2; tail -5 "$WORK/$label.log" "$WORK/$label.out" >&2; exit 1; }
  cat "$WORK/time.txt" >> "$WORK/$label"
}
peer() {  # every file through curl into md5sum, checked against the product ini
  local i sum
  for i in $(seq "$FILES"); do
    read -r sum _ < <(curl -sf "$URL/files/part$i.bin" | md5sum)
    grep -q "^part$i.bin=$sum::" "$RELEASE/bench.ini" || { echo "part$i.bin: wrong MD5" >&2; return 1; }
  done
}
export -f peer
export URL FILES RELEASE

for _ in $(seq "$RUNS"); do
  measure ours "$TOOL" audit --deep --key "$KEYS/test_public.key" --version 1 --type bench "$WORK/mirrors.ini"
  grep -q '^local .*: complete$' "$WORK/ours.out" || { echo "ours: not complete" >&2; cat "$WORK/ours.out" >&2; exit 1; }
  measure peer bash -c peer
done

best() { sort -n "$WORK/$1" | head -1; }
median() { sort -n "$WORK/$1" | awk '{ l[NR] = $0 } END { print l[int((NR + 1) / 2)] }'; }
echo "runs (wall s, user s, system s, peak KiB): ours: $(paste -sd'|' "$WORK/ours") / peer: $(paste -sd'|' "$WORK/peer")"
for stat in best median; do
  read -r ow ou os om < <($stat ours)
  read -r pw pu ps pm < <($stat peer)
  awk -v s="$stat" -v mib="$SIZE_MIB" -v n="$FILES" -v ow="$ow" -v ou="$ou" -v os="$os" -v om="$om" \
      -v pw="$pw" -v pu="$pu" -v ps="$ps" -v pm="$pm" 'BEGIN {
    printf "audit --deep of %d MiB in %d files (%s): ours %.2f s (CPU %.2f s, peak RSS %.1f MiB), curl | md5sum %.2f s (CPU %.2f s, peak RSS %.1f MiB), ratio %.2f\n",
           mib, n, s, ow, ou + os, om / 1024, pw, pu + ps, pm / 1024, (pw > 0 ? ow / pw : 0) }'
done
