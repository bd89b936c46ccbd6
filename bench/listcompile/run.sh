#!/bin/bash
# Compiles the lists for an up-to-date installation and compares the time with md5sum
# over the same files: 400 files of about 1 GiB in all, then 20,000 files of 1 to 8 KiB.
# Usage: run.sh [build dir]
set -euo pipefail

BUILD=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}  # default: build/ of this repository
HERE=$(cd "$(dirname "$0")" && pwd)
DRIVER="$BUILD/bench/listcompile/bench_listcompile"
[ -x "$DRIVER" ] || { echo "build bench_listcompile first: $DRIVER missing" >&2; exit 1; }
DATA=$(mktemp -d "${TMPDIR:-/tmp}/listcompile.XXXXXX")
trap 'rm -rf "$DATA"' EXIT

# Prints "seconds maxrss_kib" for one run of the command.
measure() {
    /usr/bin/time -f "%e %M" -o "$DATA/time" "$@" > /dev/null
    cat "$DATA/time"
}

# bench <label> <dir>: three alternating runs of each side, the best time of each.
bench() {
    local label=$1 dir=$2 best_ours="" best_peer="" rss_ours=0 rss_peer=0
    find "$dir/install" -type f -print0 | xargs -0 cat > /dev/null   # warm the cache
    "$DRIVER" "$dir/install" "$dir/work" client | grep -q 'ok=1 download=0 replace=0' \
        || { echo "$label: the installation is not seen as up to date" >&2; exit 1; }
    for _ in 1 2 3; do
        read -r t m < <(measure "$DRIVER" "$dir/install" "$dir/work" client)
        if [ -z "$best_ours" ] || awk "BEGIN{exit !($t < $best_ours)}"; then best_ours=$t; fi
        [ "$m" -gt "$rss_ours" ] && rss_ours=$m
        read -r t m < <(measure sh -c "cd '$dir/install' && find . -type f -print0 | xargs -0 md5sum")
        if [ -z "$best_peer" ] || awk "BEGIN{exit !($t < $best_peer)}"; then best_peer=$t; fi
        [ "$m" -gt "$rss_peer" ] && rss_peer=$m
    done
    awk -v l="$label" -v o="$best_ours" -v p="$best_peer" -v ro="$rss_ours" -v rp="$rss_peer" \
        'BEGIN { printf "%s: ours %.2f s, md5sum %.2f s, ratio %.3f, max RSS ours %d KiB, md5sum %d KiB\n",
                 l, o, p, (p > 0 ? o / p : 0), ro, rp }'
}

python3 "$HERE/makedata.py" "$DATA/big" 400 2000000 3368709
bench "400 files, $(du -sh "$DATA/big/install" | cut -f1)" "$DATA/big"
rm -rf "$DATA/big"

python3 "$HERE/makedata.py" "$DATA/small" 20000 1024 8192
bench "20000 files of 1-8 KiB" "$DATA/small"
