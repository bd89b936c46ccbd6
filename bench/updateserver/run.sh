#!/usr/bin/env bash
# Queries per second of quorvel-update-server under each --query-log setting, with every
# channel at 100% and with stable in a staged rollout: bench_updateserver asks for the version
# list from 64 loopback addresses for SECONDS_EACH seconds (default 5) per case, the log goes
# to a file. Prints queries per second, log bytes per second and the server's CPU time (all
# its threads), also per query: on a machine shared with other work the CPU time per query is
# the steadier figure.
#
#     bench/updateserver/run.sh [build dir]     (default: build/ of this repository)
set -euo pipefail

BUILD_DIR=$(realpath "${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}")
SECONDS_EACH=${SECONDS_EACH:-5}
cmake --build "$BUILD_DIR" --target bench_updateserver quorvel-update-server >/dev/null 2>&1 \
  || cmake --build "$BUILD_DIR" --target bench_updateserver quorvel-update-server
LOAD=$BUILD_DIR/bench/updateserver/bench_updateserver

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench_updateserver.XXXXXX")
source "$(dirname "$0")/../../scripts/servers.sh"
cleanup() {
  stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT

printf '[stable]\nversion=12345\nlabel=3.1.0\n[beta]\nversion=12400\nlabel=3.2.0 beta 1\n' > "$WORK/full.conf"
printf '[stable]\nversion=12345\nlabel=3.1.0\nprevious=12300\nprevious_label=3.0.9\nrollout=50\n[beta]\nversion=12400\nlabel=3.2.0 beta 1\n' \
  > "$WORK/staged.conf"

for config in full staged; do
  for setting in all errors 1/100 1/1000; do
    log=$WORK/server.log
    start_update_server "$BUILD_DIR" "$WORK/$config.conf" "$log" --query-log "$setting"
    pid=${SERVER_PIDS[-1]}
    result=$("$LOAD" "$VERSION_PORT" "$SECONDS_EACH")
    read -r utime stime < <(awk '{ print $14, $15 }' "/proc/$pid/stat")
    stop_servers
    qps=$(sed -E 's/.*: ([0-9]+) queries per second.*/\1/' <<< "$result")
    bytes=$(stat -c %s "$log")
    dropped=$({ grep -o '^[0-9]* log lines dropped' "$log" || true; } | awk '{ n += $1 } END { print n + 0 }')
    awk -v c="$config" -v s="$setting" -v q="$qps" -v b="$bytes" -v t="$SECONDS_EACH" -v d="$dropped" \
        -v cpu="$(( (utime + stime) * 1000 / $(getconf CLK_TCK) ))" 'BEGIN {
      printf "%-6s --query-log %-6s %6d queries/s, log %5.2f MB/s (%d lines dropped), server CPU %.2f s in %d s, %.1f us a query\n",
             c, s, q, b / t / 1e6, d, cpu / 1000, t, (q > 0 ? cpu * 1000 / (q * t) : 0) }'
    rm -f "$log"
  done
done
