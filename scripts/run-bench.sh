#!/bin/bash
# Runs every benchmark suite (bench/*/run.sh) against the build in $BUILD (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD="${BUILD:-build}"
status=0
for suite in bench/*/run.sh; do
    [ -e "$suite" ] || continue
    echo "== $suite"
    bash "$suite" || status=1
done
exit $status
