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
#     fdatasync, with the syncs per second and per datagram), measured in the
#     same run.
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

echo "-- throughput ($COUNT datagrams, at most $WINDOW unanswered)"
status=0
start_server "$bin/echo_server" "$PORT"
echo_line="$("$bin/intake_loadgen" "$PORT" "$ACK_PORT" "$COUNT" $WINDOW cmd0 "C echo server    ")" || status=1
echo "$echo_line"
stop_server

start_server "$bin/intake_server" "$PORT" "$ACK_PORT" "$work/Logs"
head -1 "$work/server.out"
cmd0_line="$("$bin/intake_loadgen" "$PORT" "$ACK_PORT" "$COUNT" $WINDOW cmd0 "intake, command 0")" || status=1
echo "$cmd0_line"
send_line="$("$bin/intake_loadgen" "$PORT" "$ACK_PORT" "$COUNT" $WINDOW send "intake, send     ")" || status=1
echo "$send_line"
stop_server
logged=$(cat "$work"/Logs/*.TXT | grep -c '^..:..:..  Address: ' || true)
echo "log entries written for send commands: $logged (of $COUNT)"

# The spool on the file system the program would use: beside the build.
spool="$(mktemp -d "$PWD/$BUILD/bench-spool.XXXXXX")"
start_server "$bin/intake_server" "$PORT" "$ACK_PORT" "$work/Logs-journal" "$spool/Spool"
syncs_now() { sed -n 's/^SYNCS //p' "$work/server.out" | tail -1 | sed 's/^$/0/'; }
sleep 0.2
before=$(syncs_now); before=${before:-0}
journal_line="$("$bin/intake_loadgen" "$PORT" "$ACK_PORT" "$COUNT" $WINDOW send "intake, send, journal")" || status=1
echo "$journal_line"
sleep 0.2
after=$(syncs_now); after=${after:-0}
stop_server
rm -rf "$spool"
journal_rate=$(rate "$journal_line")
awk -v n="$((after - before))" -v c="$COUNT" -v r="$journal_rate" 'BEGIN {
    printf "journal syncs: %d for %d datagrams = %.4f per datagram, %.0f per second\n", n, c, n/c, n/c*r }'

echo_rate=$(rate "$echo_line"); cmd0_rate=$(rate "$cmd0_line"); send_rate=$(rate "$send_line")
awk -v e="$echo_rate" -v c="$cmd0_rate" -v s="$send_rate" -v j="$journal_rate" 'BEGIN {
    printf "command 0: %.0f%% of the echo server (goal 60%%)\nsend:      %.0f%% of the echo server (goal 25%%)\n", 100*c/e, 100*s/e
    printf "send, journal on: %.0f%% of the echo server (goal 15%%)\n", 100*j/e }'
[ "$status" = 0 ] || echo "LOSSES: see above"
exit $status
