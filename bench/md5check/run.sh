#!/usr/bin/env bash
# MD5 check of a 1 GiB file: the updater's check (CheckSigFunc, MD5 mode) against md5sum on
# the same file, alternating, best of 3 each, with the peak resident memory of each.
# Usage: bench/md5check/run.sh [BUILD_DIR]   (default: build/ of this repository)
set -euo pipefail

BUILD_DIR=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}
DRIVER="$BUILD_DIR/bench/md5check/bench_md5check"
SIZE_MIB=${MD5CHECK_SIZE_MIB:-1024}
RUNS=3
[ -x "$DRIVER" ] || { echo "md5check: $DRIVER not built (cmake --build $BUILD_DIR --target bench_md5check)" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/md5check.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
DATA="$WORK/data.bin"
head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom > "$DATA"

# Warms the page cache and gives the expected sum.
SUM=$(md5sum "$DATA" | cut -d' ' -f1)

# Runs a command once; prints "seconds maxrss_kib".
measure() {
  local stats="$WORK/stats"
  /usr/bin/time -f "%e %M" -o "$stats" "$@" > /dev/null
  cat "$stats"
}

ours_best="" ; peer_best="" ; ours_rss=0 ; peer_rss=0
for _ in $(seq "$RUNS"); do
  read -r t m < <(measure "$DRIVER" "$DATA" "$SUM")
  ours_best=$(awk -v a="$t" -v b="$ours_best" 'BEGIN { print (b == "" || a < b) ? a : b }')
  (( m > ours_rss )) && ours_rss=$m
  read -r t m < <(measure md5sum "$DATA")
  peer_best=$(awk -v a="$t" -v b="$peer_best" 'BEGIN { print (b == "" || a < b) ? a : b }')
  (( m > peer_rss )) && peer_rss=$m
done

awk -v o="$ours_best" -v p="$peer_best" -v om="$ours_rss" -v pm="$peer_rss" -v size="$SIZE_MIB" 'BEGIN {
  printf "md5check %d MiB: ours %.2f s (peak RSS %.1f MiB), md5sum %.2f s (peak RSS %.1f MiB), ratio %.3f\n",
         size, o, om / 1024, p, pm / 1024, (p > 0 ? o / p : 0)
}'
