#!/usr/bin/env bash
# Installing a replace list of 400 files, 1 GiB unpacked, half of it gzip-compressed: the
# updater's FileReplaceListTaskSpecification (copies, unpacks, MD5 checks of unpacked
# files, rollback journal) against a shell loop of cp and gzip -dc doing the same copies
# and unpacks into a fresh directory. Alternating, best of 3 each, with peak resident memory.
# Usage: bench/install/run.sh [BUILD_DIR]   (default: build/ of this repository)
set -euo pipefail

BUILD_DIR=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}
DRIVER="$BUILD_DIR/bench/install/bench_install"
FILES=${INSTALL_BENCH_FILES:-400}
TOTAL_MIB=${INSTALL_BENCH_MIB:-1024}
RUNS=3
[ -x "$DRIVER" ] || { echo "install: $DRIVER not built (cmake --build $BUILD_DIR --target bench_install)" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/installbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
DL="$WORK/download"
mkdir -p "$DL"
"$DRIVER" gen "$DL" "$FILES" "$TOTAL_MIB"

# The peer: the same copies and unpacks, one after another, as a shell loop. The directories
# are made by one mkdir and the paths split by bash itself, so the loop starts only cp and gzip.
cat > "$WORK/peer.sh" <<'PEER'
set -e
dl=$1; root=$2
dirs=()
while IFS=$'\t' read -r key unpacked md5; do
  dest=${unpacked:-$key}
  [[ $dest == */* ]] && dirs+=("$root/${dest%/*}")
done < "$dl/manifest.txt"
mkdir -p "$root" "${dirs[@]}"
while IFS=$'\t' read -r key unpacked md5; do
  if [ -n "$unpacked" ]; then
    gzip -dc "$dl/$key" > "$root/$unpacked"
  else
    cp "$dl/$key" "$root/$key"
  fi
done < "$dl/manifest.txt"
PEER

# Warm the page cache.
cat "$DL"/*/* > /dev/null

# Runs a command once into a fresh root; prints "seconds maxrss_kib cpu_seconds".
measure() {
  local root="$WORK/root" stats="$WORK/stats"
  rm -rf "$root"
  mkdir -p "$root"
  sync
  /usr/bin/time -f "%e %M %U %S" -o "$stats" "$@" "$root" > /dev/null
  awk '{ print $1, $2, $3 + $4 }' "$stats"
}

best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

ours_best="" ; peer_best="" ; ours_rss=0 ; peer_rss=0 ; ours_cpu="" ; peer_cpu=""
for _ in $(seq "$RUNS"); do
  read -r t m c < <(measure bash -c '"$0" install "$2" "$1" 2>/dev/null' "$DRIVER" "$DL")
  ours_best=$(best "$t" "$ours_best")
  ours_cpu=$(best "$c" "$ours_cpu")
  (( m > ours_rss )) && ours_rss=$m
  ours_tree=$(cd "$WORK/root" && find . -type f -printf '%P %s\n' | sort | md5sum)
  read -r t m c < <(measure bash -c 'bash "$0" "$1" "$2"' "$WORK/peer.sh" "$DL")
  peer_best=$(best "$t" "$peer_best")
  peer_cpu=$(best "$c" "$peer_cpu")
  (( m > peer_rss )) && peer_rss=$m
  peer_tree=$(cd "$WORK/root" && find . -type f -printf '%P %s\n' | sort | md5sum)
  [ "$ours_tree" = "$peer_tree" ] || { echo "install: installed trees differ" >&2; exit 1; }
done
rm -rf "$WORK/root"

# Wall time is what the user waits for (we run two files at a time, the loop one); CPU time
# (user + system) shows the work done, and depends less on what else the machine runs.
awk -v o="$ours_best" -v p="$peer_best" -v om="$ours_rss" -v pm="$peer_rss" -v oc="$ours_cpu" -v pc="$peer_cpu" \
    -v n="$FILES" -v size="$TOTAL_MIB" 'BEGIN {
  printf "install %d files, %d MiB: ours %.2f s (peak RSS %.1f MiB), cp + gzip -dc %.2f s (peak RSS %.1f MiB), ratio %.3f\n",
         n, size, o, om / 1024, p, pm / 1024, (p > 0 ? o / p : 0)
  printf "install %d files, %d MiB, CPU time: ours %.2f s, cp + gzip -dc %.2f s, ratio %.3f\n",
         n, size, oc, pc, (pc > 0 ? oc / pc : 0)
}'
