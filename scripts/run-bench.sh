#!/bin/bash
# Runs every benchmark suite (bench/*/run.sh) against the build in $BUILD
# (default build), keeps the burst and slow-link figures as CSV in $BENCH_OUT
# (default $BUILD/bench-results) and draws them into $BENCH_OUT/bench-burst.png.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD="${BUILD:-build}"
out="${BENCH_OUT:-$BUILD/bench-results}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
status=0
echo "== bench/intake/run.sh"
bash bench/intake/run.sh || status=1
echo "== bench/mail/run.sh"
OUT="$out/mail.csv" bash bench/mail/run.sh || status=1
echo "== bench/app/run.sh"
bash bench/app/run.sh --out "$out/service.csv" || status=1
echo "== bench/app/run.sh latency"
bash bench/app/run.sh latency --out "$out/latency.csv" || status=1
if [ -s "$out/service.csv" ]; then
    plot_args=(--service "$out/service.csv" --out "$out/bench-burst.png")
    [ -s "$out/mail.csv" ] && plot_args+=(--mail "$out/mail.csv")
    [ -s "$out/latency.csv" ] && plot_args+=(--latency "$out/latency.csv")
    /usr/bin/python3 bench/plot.py "${plot_args[@]}" && echo "plot: $out/bench-burst.png"
fi
exit $status
