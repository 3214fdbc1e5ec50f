#!/bin/bash
# Service benchmarks of the built program in $BUILD (default build): alarm
# latency, a 1,000-alarm burst beside smtp-source and curl, memory with a full
# queue. Needs root for a private network namespace (fixed ports 1095/1096).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD="${BUILD:-build}"
export CORVANE_SOURCE_DIR="$PWD"
export CORVANE_BIN_DIR="$PWD/$BUILD/bin"
status=0
/usr/bin/python3 bench/app/bench_service.py "$@" || status=$?
# 77: no network namespace here; the benchmark said why.
[ "$status" -eq 77 ] && exit 0
exit "$status"
