#!/usr/bin/env bash
# A whole update by the real `update` executable in its unattended mode (--nouser), from
# four nginx mirrors on loopback, against the pipeline of standard tools doing the same:
# `curl --parallel --parallel-max 4` from the same mirrors, `md5sum -c`, then `cp` and
# `gzip -dc` into the installation. Two releases, each fresh (empty installation) and as an
# update of the previous version where a tenth of the files changed; for the update the
# peer first runs `md5sum -c` over the installation and then the pipeline for what failed.
#
# A: 400 files, about 1 GiB (four of 128 MiB), a quarter gzip-compressed.
# B: 20,000 files of 1 to 8 KiB in 200 directories.
#
# Fair ground: both sides write their outputs (installation, downloads) on the same file
# system, chosen by FS: "tmpfs" (a RAM file system mounted for the run; root only) and
# "disk" (the file system of the work directory). On disk no run starts within 60 s of a
# mass deletion: ext4 avoids reusing an inode freed in the last minute, so every file created
# after many deletions scans past them. Each run writes into directories never used before;
# outputs of many files are deleted at the end, and after an update that deleted many old
# copies the next run waits out the minute.
#
# Our time is the wall time of the process minus the fixed 3 s of the unattended mode (it
# starts the update 2000 ms after start and waits 1000 ms after success before it starts the
# client and closes). CPU is user + system time of each side's processes, which load on a
# shared machine disturbs far less than the wall time. Each run also prints the updater's
# phases from its own log, which QUORVEL_LOG_STDERR=1 mirrors to stderr with time stamps.
#
#     bench/update/run.sh [build dir]     (default: build/ of this repository)
#     RUNS=3 CASES="A B" MODES="fresh update" FS="tmpfs disk" KEEP=1 (keep the work directory)
#     B_FILES=20000 (files of release B), UPDATE_WRAP="valgrind --tool=callgrind" (runs ours under it),
#     UPDATE_BIN=path (another build of the executable, e.g. to compare before and after),
#     UPDATE_ENV="NAME=value ..." (extra environment for ours)
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD_DIR=$(realpath "${1:-$REPO/build}")
RUNS=${RUNS:-3}
CASES=${CASES:-A B}
MODES=${MODES:-fresh update}
FS=${FS:-tmpfs disk}
TYPE=client_linux_amd64
FIXED_DELAY=3.0
QUIET_SECONDS=60
cmake --build "$BUILD_DIR" --target update quorvel-publish >/dev/null 2>&1 \
  || cmake --build "$BUILD_DIR" --target update quorvel-publish
UPDATE=${UPDATE_BIN:-$BUILD_DIR/src/update}
PUBLISH="$BUILD_DIR/tools/quorvel-publish/quorvel-publish"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_update.XXXXXX")
chmod 755 "$WORK"
source "$REPO/scripts/servers.sh"
MOUNTED=""
cleanup() {
  stop_servers
  if [ -n "$MOUNTED" ]; then umount "$MOUNTED" || umount -l "$MOUNTED"; fi
  [ -n "${KEEP:-}" ] && { echo "work directory kept: $WORK" >&2; return; }
  rm -rf "$WORK"
}
trap cleanup EXIT

for kind in $CASES; do
  python3 "$HERE/makerelease.py" "$kind" "$WORK/$kind"
  for version in 1 2; do
    cp "$WORK/$kind/$version.ini" "$WORK/$kind/www/$version/$TYPE.ini"
    "$PUBLISH" sign "$REPO/keys/demo_private.key" "$WORK/$kind/www/$version/$TYPE.ini" >/dev/null
  done
done
chmod -R a+rX "$WORK"

# Four mirrors: one nginx with four servers on ports chosen by the system.
read -r -a PORTS < <(free_ports 5)
SILENT_PORT=${PORTS[4]}  # the banner query goes here and gets no answer
start_nginx "$WORK/nginx" "$WORK" "${PORTS[@]:0:4}"
wait_for_url "http://127.0.0.1:${PORTS[3]}/$kind/www/1/$TYPE.ini"

# Where the outputs of one file system go: OUT. A tmpfs is mounted once, with room for the
# largest run (release A: the installation, the downloads and the peer's copies).
use_fs() {  # fs
  case $1 in
    tmpfs)
      OUT="$WORK/tmpfs"
      if [ -z "$MOUNTED" ]; then
        mkdir -p "$OUT"
        mount -t tmpfs -o size=6g,mode=755 quorvel_bench "$OUT" \
          || { echo "tmpfs: cannot mount (root needed); skipped" >&2; return 1; }
        MOUNTED=$OUT
      fi ;;
    disk) OUT="$WORK/disk"; mkdir -p "$OUT" ;;
    *) echo "unknown file system $1" >&2; exit 2 ;;
  esac
}

LAST_MASS_DELETE=0
# On disk, a run starts only when the last mass deletion is a minute old.
settle() {  # fs
  [ "$1" = disk ] || return 0
  local wait=$((LAST_MASS_DELETE + QUIET_SECONDS - $(date +%s)))
  if [ "$wait" -gt 0 ]; then
    echo "  (waiting ${wait} s: a mass deletion on disk is less than ${QUIET_SECONDS} s old)"
    sleep "$wait"
  fi
}

# Outputs of few files go at once; many files stay until the work directory goes at the
# end, so that no run follows a mass deletion. On tmpfs everything goes at once: it keeps no
# memory of freed inodes.
dispose() {  # fs dir
  if [ "$1" = tmpfs ] || [ "$(find "$2" | head -1001 | wc -l)" -le 1000 ]; then
    rm -rf "$2"
  fi
}

RUN_ID=0
# A fresh directory for one side of one run, with the starting state: nothing, or version 1.
prepare() {  # kind mode -> sets DIR
  RUN_ID=$((RUN_ID + 1))
  DIR="$OUT/run$RUN_ID"
  mkdir -p "$DIR/inst" "$DIR/tmp" "$DIR/peer"
  [ "$2" = update ] && cp -a "$WORK/$1/install1/." "$DIR/inst/"
  # The mirror tree is read from the page cache by both sides.
  find "$WORK/$1/www" -type f -print0 | xargs -0 cat > /dev/null
  sync
}

verify() {  # kind version label
  (cd "$DIR/inst" && md5sum -c --quiet "$WORK/$1/$2.installed") >/dev/null \
    || { echo "$3: installation differs from version $2" >&2; exit 1; }
}

TIME_FORMAT='%e %M %U %S'

run_ours() {  # kind version -> "seconds kib user sys"
  local kind=$1 version=$2 inst="$DIR/inst"
  cp "$UPDATE" "$inst/update"
  {
    echo '[mirrors]'
    for i in 1 2 3 4; do echo "$i\\mirror=mirror$i"; done
    echo 'size=4'
    for i in 1 2 3 4; do printf '[mirror%d]\nurl=http://127.0.0.1:%s/%s/www\n' "$i" "${PORTS[$((i - 1))]}" "$kind"; done
  } > "$inst/mirrors.ini"
  printf '#!/bin/sh\n: > "$(dirname "$0")/client.started"\n' > "$inst/qv3client_runscript.sh"
  chmod +x "$inst/qv3client_runscript.sh"
  # shellcheck disable=SC2086
  env QT_QPA_PLATFORM=offscreen QUORVEL_AUTOCLOSE_DIALOGS=1 QUORVEL_LOG_STDERR=1 TMPDIR="$DIR/tmp" \
      QUORVEL_UPDATE_SERVER_ADDRESS="127.0.0.1:$SILENT_PORT:$SILENT_PORT" ${UPDATE_ENV:-} \
      /usr/bin/time -f "$TIME_FORMAT" -o "$WORK/time.txt" timeout 1800 ${UPDATE_WRAP:-} "$inst/update" --nouser "$TYPE" "$version" \
      2> "$WORK/ours.log" || { tail -20 "$WORK/ours.log" >&2; echo "update failed" >&2; exit 1; }
  # The client is started detached: its script may still be on its way when we exit.
  for _ in $(seq 50); do [ -e "$inst/client.started" ] && break; sleep 0.1; done
  [ -e "$inst/client.started" ] || { echo "update: client not started" >&2; exit 1; }
  rm -f "$inst/update" "$inst/mirrors.ini" "$inst/update.ini" "$inst/qv3client_runscript.sh" "$inst/client.started"
  ! compgen -G "$DIR/tmp/quorvel_temp_*" > /dev/null || { echo "update: temporary directory left" >&2; exit 1; }
  verify "$kind" "$version" ours
  cat "$WORK/time.txt"
}

# The peer. Arguments: kind version mode. For an update it checks the installation first
# and downloads what md5sum -c reports as failed.
cat > "$WORK/peer.sh" <<'PEER'
set -euo pipefail
work=$1 kind=$2 version=$3 mode=$4 inst=$5 dl=$6; shift 6
ports=("$@")
rel="$work/$kind"
cd "$dl"
if [ "$mode" = update ]; then
  (cd "$inst" && md5sum -c --quiet "$rel/$version.installed" 2>/dev/null || true) \
    | sed -n 's/: FAILED$//p' > wanted.paths
else
  cut -c35- "$rel/$version.installed" > wanted.paths
fi
# Installed path -> key for the gzip entries; everything else is installed under its key.
awk -F'\t' 'FILENAME == ARGV[1] { gz[$2] = $1; next } { print ($0 in gz) ? gz[$0] : $0 }' \
    "$rel/$version.gz" wanted.paths > wanted.keys
awk 'FILENAME == ARGV[1] { want[$0] = 1; next } substr($0, 35) in want' wanted.keys "$rel/$version.served" > wanted.md5
awk -v k="$kind" -v v="$version" -v p="${ports[*]}" 'BEGIN { n = split(p, port, " ") }
  { printf "url = \"http://127.0.0.1:%s/%s/www/%s/files/%s\"\noutput = \"%s\"\n", port[NR % n + 1], k, v, $0, $0 }' \
    wanted.keys > curl.cfg
curl --parallel --parallel-max 4 --create-dirs --fail --no-progress-meter -K curl.cfg
md5sum -c --quiet wanted.md5
sed 's#/[^/]*$##' wanted.paths | sort -u | (cd "$inst" && xargs -d '\n' mkdir -p)
awk -F'\t' 'FILENAME == ARGV[1] { gz[$1] = 1; next } !($0 in gz)' "$rel/$version.gz" wanted.keys \
    | xargs -r -d '\n' cp --parents -t "$inst"
awk -F'\t' 'FILENAME == ARGV[1] { want[$0] = 1; next } $1 in want' wanted.keys "$rel/$version.gz" \
    | while IFS=$'\t' read -r key path; do gzip -dc "$key" > "$inst/$path"; done
PEER

run_peer() {  # kind version mode -> "seconds kib user sys"
  /usr/bin/time -f "$TIME_FORMAT" -o "$WORK/time.txt" \
      bash "$WORK/peer.sh" "$WORK" "$1" "$2" "$3" "$DIR/inst" "$DIR/peer" "${PORTS[@]:0:4}"
  verify "$1" "$2" peer
  cat "$WORK/time.txt"
}

# The updater's phases from its log: each phase from its first line to the next phase.
phases() {
  python3 - "$WORK/ours.log" <<'PY'
import re, sys
marks = [("ini", "Download / check product ini"), ("list", "Compiling download and replace list"),
         ("download", "Downloading files"), ("download", "No downloads needed"),
         ("install", "Starting file updates"), ("delete", "Starting deleting files"),
         ("cleanup", "Remove temporary files..."), ("end", "Update successfully finished")]
times, start, last = {}, None, None
for line in open(sys.argv[1], errors="replace"):
    m = re.match(r"^\[(\d+\.\d+)\] (.*)$", line.rstrip("\n"))
    if not m:
        continue
    t, text = float(m.group(1)), m.group(2)
    if text == "Starting update process":
        start = t
    for name, mark in marks:
        if text == mark and name not in times:
            times[name] = t
order = [n for n in ("ini", "list", "download", "install", "delete", "cleanup", "end") if n in times]
parts = [f"{a} {times[b] - times[a]:.2f}" for a, b in zip(order, order[1:])]
print(f"phases (s): start->ini {times[order[0]] - start:.2f}, " + ", ".join(parts)
      + f"; update {times['end'] - start:.2f}")
PY
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
load() { cut -d' ' -f1 /proc/loadavg; }

# Files whose old copy an update deletes: the changed ones that were installed before.
changed_files() {  # kind
  awk 'FILENAME == ARGV[1] { old[$2] = $1; next } ($2 in old) && old[$2] != $1' \
      "$WORK/$1/1.installed" "$WORK/$1/2.installed" | wc -l
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); our time = wall - ${FIXED_DELAY} s of fixed unattended delays"
declare -A PEAK
for fs in $FS; do
  use_fs "$fs" || continue
  echo "== outputs on $fs ($(df -T "$OUT" | awk 'NR == 2 { print $2 }'))"
  for kind in $CASES; do
    for mode in $MODES; do
      : > "$WORK/ratios"; : > "$WORK/cpuratios"; : > "$WORK/ours.s"; : > "$WORK/peer.s"; : > "$WORK/ours.cpu"
      : > "$WORK/peer.cpu"; : > "$WORK/ours.rss"; : > "$WORK/loads"
      label="$kind $mode"
      [ "$mode" = update ] && version=2 || version=1
      for run in $(seq "$RUNS"); do
        settle "$fs"
        prepare "$kind" "$mode"
        l1=$(load)
        read -r ow om ou os < <(run_ours "$kind" "$version" | tail -1)
        ph=$(phases)
        [ "$mode" = update ] && [ "$(changed_files "$kind")" -ge 1000 ] && LAST_MASS_DELETE=$(date +%s)
        dispose "$fs" "$DIR"
        settle "$fs"
        prepare "$kind" "$mode"
        l2=$(load)
        read -r pw pm pu ps < <(run_peer "$kind" "$version" "$mode" | tail -1)
        dispose "$fs" "$DIR"
        awk -v l="$label" -v r="$run" -v ow="$ow" -v om="$om" -v ou="$ou" -v os="$os" -v pw="$pw" -v pm="$pm" \
            -v pu="$pu" -v ps="$ps" -v d="$FIXED_DELAY" -v l1="$l1" -v l2="$l2" 'BEGIN {
          o = ow - d
          printf "%s run %d: ours %.2f s (wall %.2f), CPU %.2f s, peak RSS %.1f MiB, load %s; peer %.2f s, CPU %.2f s, peak RSS %.1f MiB, load %s; ratio %.3f, CPU ratio %.3f\n",
                 l, r, o, ow, ou + os, om / 1024, l1, pw, pu + ps, pm / 1024, l2, (pw > 0 ? o / pw : 0),
                 (pu + ps > 0 ? (ou + os) / (pu + ps) : 0) }'
        echo "  $ph"
        awk -v ow="$ow" -v pw="$pw" -v d="$FIXED_DELAY" 'BEGIN { print (ow - d) / pw }' >> "$WORK/ratios"
        awk -v a="$ou" -v b="$os" -v c="$pu" -v e="$ps" 'BEGIN { print (a + b) / (c + e > 0 ? c + e : 1) }' >> "$WORK/cpuratios"
        awk -v ow="$ow" -v d="$FIXED_DELAY" 'BEGIN { print ow - d }' >> "$WORK/ours.s"
        echo "$pw" >> "$WORK/peer.s"
        awk -v a="$ou" -v b="$os" 'BEGIN { print a + b }' >> "$WORK/ours.cpu"
        awk -v a="$pu" -v b="$ps" 'BEGIN { print a + b }' >> "$WORK/peer.cpu"
        echo "$om" >> "$WORK/ours.rss"
        echo "$l1" >> "$WORK/loads"; echo "$l2" >> "$WORK/loads"
      done
      rss=$(sort -n "$WORK/ours.rss" | tail -1)
      PEAK[$fs$kind$mode]=$rss
      echo "$label on $fs: median ratio $(median < "$WORK/ratios"), median CPU ratio $(median < "$WORK/cpuratios") over $RUNS runs;" \
           "ours $(median < "$WORK/ours.s") s, CPU $(median < "$WORK/ours.cpu") s; peer $(median < "$WORK/peer.s") s," \
           "CPU $(median < "$WORK/peer.cpu") s; our peak RSS $((rss / 1024)) MiB;" \
           "load $(sort -n "$WORK/loads" | head -1) to $(sort -n "$WORK/loads" | tail -1)"
      if [ "$kind" = B ] && [ -n "${PEAK[${fs}A$mode]:-}" ]; then
        files=$(wc -l < "$WORK/B/1.installed")
        echo "B $mode on $fs: our peak RSS above A's, per file: $(( (rss - PEAK[${fs}A$mode]) * 1024 / (files - 400) )) bytes"
      fi
    done
  done
  if [ "$fs" = tmpfs ]; then umount "$MOUNTED"; MOUNTED=""; fi
done
