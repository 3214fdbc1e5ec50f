#!/bin/bash
# Intake benchmarks against the build in $BUILD (default build):
#  1. QueueEmail and the slot search at 100, 1,000 and 32,701 pending (Google
#     Benchmark), beside a linear scan from slot 0;
#  2. one activity log entry (open, append, close), with and without the cost
#     of reading the system clock;
#  3. how large a burst the command port holds while the program is busy;
#  4. throughput: 100,000 datagrams with up to 64 unanswered, to a minimal C
#     echo server and to Corvane's intake (command 0, then send commands that
#     queue and log, with the queue journal off and on: acknowledged after
#     fdatasync, with the syncs per second and per datagram), in interleaved
#     rounds (INTAKE_BENCH_ROUNDS), with the median of per-round ratios, the
#     server CPU per datagram and the load generator's own CPU share (to show
#     it is not the limit).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD="${BUILD:-build}"
bin="$BUILD/bench"
COUNT="${INTAKE_BENCH_COUNT:-100000}"
WINDOW=64
PORT="${INTAKE_BENCH_PORT:-31095}"
ACK_PORT="${INTAKE_BENCH_ACK_PORT:-31096}"

for tool in queue_bench log_bench intake_server burst_capacity echo_server intake_loadgen; do
    [ -x "$bin/$tool" ] || { echo "$bin/$tool missing: build $BUILD first (make build)"; exit 1; }
done

echo "-- QueueEmail"
"$bin/queue_bench" --benchmark_min_time=0.2

echo "-- activity log entry"
"$bin/log_bench" --benchmark_min_time=0.2

echo "-- burst held while not reading"
"$bin/burst_capacity"

work="$(mktemp -d)"
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

start_server() {
    "$@" >"$work/server.out" 2>&1 &
    server=$!
    for _ in $(seq 100); do
        grep -q READY "$work/server.out" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "server did not start:"; cat "$work/server.out"; exit 1
}
stop_server() {
    kill "$server"; wait "$server" 2>/dev/null || true; server=""
}
rate() { sed -n 's/.* \([0-9]*\) answers\/s.*/\1/p' <<<"$1"; }

ROUNDS="${INTAKE_BENCH_ROUNDS:-3}"
# CPU seconds (user + system) the running server has used so far.
server_cpu() { awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); split($0, f, " "); printf "%.4f\n", (f[12] + f[13]) / hz }' "/proc/$server/stat"; }
# measure NAME MODE LABEL: one loadgen run against the running server; appends
# answers/s to $work/NAME and the server's CPU microseconds per datagram to
# $work/NAME.cpu, and prints the generator's line.
measure() {
    local name=$1 mode=$2 label=$3 line c0 c1
    c0=$(server_cpu)
    line="$("$bin/intake_loadgen" "$PORT" "$ACK_PORT" "$COUNT" $WINDOW "$mode" "$label")" || status=1
    c1=$(server_cpu)
    echo "  $line, server CPU $(awk -v a="$c0" -v b="$c1" -v n="$COUNT" 'BEGIN { printf "%.1f", (b - a) * 1e6 / n }') us/datagram"
    rate "$line" >> "$work/$name"
    awk -v a="$c0" -v b="$c1" -v n="$COUNT" 'BEGIN { printf "%.2f\n", (b - a) * 1e6 / n }' >> "$work/$name.cpu"
}
summary() { # FILE: median [min-max]
    sort -g "$1" | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
                          printf "%.2f [%.2f-%.2f]", m, v[1], v[NR] }'
}
ratios() { paste "$work/$1" "$work/$2" | awk '{ printf "%.4f\n", $1 / $2 }' > "$work/$3"; }

echo "-- throughput ($COUNT datagrams per run, at most $WINDOW unanswered, $ROUNDS interleaved rounds;"
echo "   both servers read up to 32 datagrams per call; load before: $(cut -d' ' -f1-3 /proc/loadavg))"
status=0
# The spool on the file system the program would use: beside the build.
syncs_now() { sed -n 's/^SYNCS //p' "$work/server.out" | tail -1; }
for round in $(seq "$ROUNDS"); do
    echo " round $round"
    start_server "$bin/echo_server" "$PORT"
    measure echo cmd0 "C echo server    "
    stop_server
    rm -rf "$work/Logs"
    start_server "$bin/intake_server" "$PORT" "$ACK_PORT" "$work/Logs"
    measure cmd0 cmd0 "intake, command 0"
    measure send send "intake, send     "
    stop_server
    logged=$(cat "$work"/Logs/*.TXT | grep -c '^..:..:..  Address: ' || true)
    [ "$logged" = "$COUNT" ] || { echo "  log entries for send commands: $logged of $COUNT"; status=1; }

    spool="$(mktemp -d "$PWD/$BUILD/bench-spool.XXXXXX")"
    rm -rf "$work/Logs-journal"
    start_server "$bin/intake_server" "$PORT" "$ACK_PORT" "$work/Logs-journal" "$spool/Spool"
    before=$(syncs_now); before=${before:-0}
    measure journal send "intake, send, journal on"
    after=$(syncs_now); after=${after:-0}
    stop_server
    rm -rf "$spool"
    awk -v n="$((after - before))" -v c="$COUNT" -v r="$(tail -1 "$work/journal")" 'BEGIN {
        printf "  journal syncs: %d for %d datagrams = %.4f per datagram, %.0f per second\n", n, c, n/c, n/c*r }'
done
ratios cmd0 echo ratio-cmd0
ratios send echo ratio-send
ratios journal echo ratio-journal
echo "per-round ratio to the echo server, median [range] (goals: command 0 0.60, send 0.25, send with the journal 0.15):"
echo "  command 0: $(summary "$work/ratio-cmd0")   send: $(summary "$work/ratio-send")   send, journal on: $(summary "$work/ratio-journal")"
echo "server CPU per datagram, median [range] us: echo $(summary "$work/echo.cpu")," \
     "intake command 0 $(summary "$work/cmd0.cpu"), send $(summary "$work/send.cpu"), send with the journal $(summary "$work/journal.cpu")"
[ "$status" = 0 ] || echo "LOSSES: see above"
exit $status
