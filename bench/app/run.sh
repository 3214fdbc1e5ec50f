#!/bin/bash
# Service benchmarks of the built program in $BUILD (default build): alarm
# latency, a 1,000-alarm burst beside smtp-source and curl, memory with a full
# queue; with `latency` as the first argument instead, round trips per alarm
# over a 20 ms link (bench_latency.py); with `storm`, the alarm storm through
# a server that takes 30 messages a minute (bench_storm.py, about 17 minutes,
# not part of `make bench`). Needs root for a private network
# namespace (fixed ports 1095/1096).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD="${BUILD:-build}"
export CORVANE_SOURCE_DIR="$PWD"
export CORVANE_BIN_DIR="$PWD/$BUILD/bin"
script=bench/app/bench_service.py
if [ "${1:-}" = latency ]; then
    script=bench/app/bench_latency.py
    shift
elif [ "${1:-}" = storm ]; then
    script=bench/app/bench_storm.py
    shift
fi
status=0
/usr/bin/python3 "$script" "$@" || status=$?
# 77: no network namespace here; the benchmark said why.
[ "$status" -eq 77 ] && exit 0
exit "$status"
