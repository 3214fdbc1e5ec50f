#!/bin/bash
# Mail throughput: the component against a local smtp-sink, beside Postfix's
# smtp-source and a loop of the curl tool, all measured in this run. The
# machine is shared, so the four fast methods run interleaved for ROUNDS rounds
# and the median of each is reported.
#   BUILD=build bash bench/mail/run.sh   (COUNT, ROUNDS, CURL_COUNT change sizes)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD="${BUILD:-build}"
COUNT="${COUNT:-1000}"
ROUNDS="${ROUNDS:-5}"
CURL_COUNT="${CURL_COUNT:-300}"
BENCH="$BUILD/bench/bench_mail_component"
SINK=/usr/sbin/smtp-sink
SOURCE=/usr/sbin/smtp-source

for tool in "$SINK" "$SOURCE" "$BENCH"; do
    [ -x "$tool" ] || { echo "missing $tool (build the bench_mail_component target, install postfix)"; exit 1; }
done

PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
SINK_ARGS=(-m 512 "127.0.0.1:$PORT" 256)
[ "$(id -u)" -eq 0 ] && SINK_ARGS=(-u nobody "${SINK_ARGS[@]}")
"$SINK" "${SINK_ARGS[@]}" &
SINK_PID=$!
TMP=$(mktemp -d)
trap 'kill $SINK_PID 2>/dev/null || true; rm -rf "$TMP"' EXIT
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
    sleep 0.05
done

now() { date +%s.%N; }
# CPU seconds (user + system) used so far by finished children of this shell;
# `times` must run in this shell, not in a $(...) subshell.
child_cpu() {
    times > "$TMP/times"
    tail -1 "$TMP/times" | awk '{ split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.6f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}
# runs "$@" and appends its CPU microseconds per message to file $1
measure_cpu() {
    local file=$1; shift
    child_cpu > "$TMP/cpu0"; "$@"; child_cpu > "$TMP/cpu1"
    awk -v n="$COUNT" 'NR == 1 { a = $1 } NR == 2 { b = $1 } END { printf "%.1f\n", (b - a) * 1e6 / n }' \
        "$TMP/cpu0" "$TMP/cpu1" >> "$file"
}
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.1f\n", n / (b - a) }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "smtp-sink on 127.0.0.1:$PORT; $COUNT messages per method, $ROUNDS interleaved rounds; load: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$ROUNDS"); do
    t0=$(now); measure_cpu "$TMP/source.cpu" "$SOURCE" -m "$COUNT" -s 1 -l 300 -f bench@example.com -t ops@example.com "127.0.0.1:$PORT"; t1=$(now)
    rate "$COUNT" "$t0" "$t1" >> "$TMP/source"
    t0=$(now); measure_cpu "$TMP/source-d.cpu" "$SOURCE" -d -m "$COUNT" -s 1 -l 300 -f bench@example.com -t ops@example.com "127.0.0.1:$PORT"; t1=$(now)
    rate "$COUNT" "$t0" "$t1" >> "$TMP/source-d"
    measure_cpu "$TMP/session.cpu" "$BENCH" "127.0.0.1:$PORT" "$COUNT" session > "$TMP/out"
    awk '{ print $1 }' "$TMP/out" >> "$TMP/session"
    measure_cpu "$TMP/reuse.cpu" "$BENCH" "127.0.0.1:$PORT" "$COUNT" reuse > "$TMP/out"
    awk '{ print $1 }' "$TMP/out" >> "$TMP/reuse"
    echo "round $round: smtp-source $(tail -1 "$TMP/source"), smtp-source -d $(tail -1 "$TMP/source-d"), component session $(tail -1 "$TMP/session"), component reuse $(tail -1 "$TMP/reuse") messages/s"
done

printf 'Subject: bench\r\n\r\nPump 3 stopped. Pressure low.\r\n' > "$TMP/msg.txt"
t0=$(now)
for _ in $(seq "$CURL_COUNT"); do
    curl -s --url "smtp://127.0.0.1:$PORT" --mail-from bench@example.com --mail-rcpt ops@example.com \
        -T "$TMP/msg.txt" >/dev/null
done
t1=$(now)

best() { sort -g | tail -1; }
row() { # label file
    printf '  %-42s median %8.1f   best %8.1f   client CPU %6.1f us/message\n' \
        "$1" "$(median < "$2")" "$(best < "$2")" "$(median < "$2.cpu")"
}
ratio() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN { printf f, a / b }'; }

echo "messages/s over $ROUNDS rounds (best = the least disturbed round on a shared machine):"
row "smtp-source, one message per connection" "$TMP/source"
row "smtp-source, one connection for all" "$TMP/source-d"
row "component, one session per message" "$TMP/session"
row "component, connection kept" "$TMP/reuse"
printf '  %-42s %8.1f\n' "curl tool loop ($CURL_COUNT messages)" "$(rate "$CURL_COUNT" "$t0" "$t1")"
echo "component, one session per message vs smtp-source (goal 80%):" \
     "median $(ratio "$(median < "$TMP/session")" "$(median < "$TMP/source")" '%.2f')," \
     "best $(ratio "$(best < "$TMP/session")" "$(best < "$TMP/source")" '%.2f')"
echo "component, connection kept vs smtp-source (goal 1.5x):" \
     "median $(ratio "$(median < "$TMP/reuse")" "$(median < "$TMP/source")" '%.2f')," \
     "best $(ratio "$(best < "$TMP/reuse")" "$(best < "$TMP/source")" '%.2f')"
