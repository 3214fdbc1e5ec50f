#!/bin/bash
# Mail throughput: the component against a local smtp-sink, compared like for
# like with Postfix's smtp-source in the same run:
#   component, connection kept    vs  smtp-source -d (one connection for all)
#   component, session per message vs smtp-source     (one connection per message)
# Both clients send messages of the same size (smtp-source's payload is sized
# from a capture of one message of each). The methods run interleaved, ROUNDS
# rounds; every ratio is taken within its round, and the median of the per-round
# ratios is reported with its range. A short curl tool loop runs in each round.
#   BUILD=build bash bench/mail/run.sh   (COUNT, ROUNDS, CURL_COUNT change sizes)
#   OUT=FILE also writes the per-round figures as CSV, for bench/plot.py.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD="${BUILD:-build}"
COUNT="${COUNT:-1000}"
ROUNDS="${ROUNDS:-5}"
CURL_COUNT="${CURL_COUNT:-100}"
BENCH="$BUILD/bench/bench_mail_component"
SINK=/usr/sbin/smtp-sink
SOURCE=/usr/sbin/smtp-source
PY=/usr/bin/python3

for tool in "$SINK" "$SOURCE" "$BENCH" "$PY"; do
    [ -x "$tool" ] || { echo "missing $tool (build the bench_mail_component target, install postfix)"; exit 1; }
done

TMP=$(mktemp -d)
PIDS=()
trap 'kill "${PIDS[@]}" 2>/dev/null || true; rm -rf "$TMP"' EXIT
free_port() { "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "nothing listens on port $1"; exit 1
}

# Size both clients' messages once against the capture server.
CAP_PORT=$(free_port)
mkdir "$TMP/cap"
"$PY" tests/support/smtp_capture.py --port "$CAP_PORT" --out "$TMP/cap" > /dev/null &
PIDS+=($!)
wait_port "$CAP_PORT"
message_size() { # the DATA of the newest capture, without the envelope lines
    "$PY" - "$(ls -t "$TMP"/cap/*.eml | head -1)" <<'EOF'
import sys
sys.path.insert(0, "tests/support")
from capture_format import split_envelope
print(len(split_envelope(open(sys.argv[1], "rb").read())[2]))
EOF
}
"$BENCH" "127.0.0.1:$CAP_PORT" 1 session > /dev/null
component_size=$(message_size)
"$SOURCE" -m 1 -l 1 -f bench@example.com -t ops@example.com "127.0.0.1:$CAP_PORT"
source_overhead=$(( $(message_size) - 1 ))
PAYLOAD=$(( component_size > source_overhead ? component_size - source_overhead : 0 ))
"$SOURCE" -m 1 -l "$PAYLOAD" -f bench@example.com -t ops@example.com "127.0.0.1:$CAP_PORT"
source_size=$(message_size)

PORT=$(free_port)
SINK_ARGS=(-m 512 "127.0.0.1:$PORT" 256)
[ "$(id -u)" -eq 0 ] && SINK_ARGS=(-u nobody "${SINK_ARGS[@]}")
"$SINK" "${SINK_ARGS[@]}" &
PIDS+=($!)
wait_port "$PORT"

now() { date +%s.%N; }
# CPU seconds (user + system) used so far by finished children of this shell;
# `times` must run in this shell, not in a $(...) subshell.
child_cpu() {
    times > "$TMP/times"
    tail -1 "$TMP/times" | awk '{ split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.6f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}
# timed NAME N COMMAND...: runs it, appends messages/s to $TMP/NAME and the
# client's CPU microseconds per message to $TMP/NAME.cpu
timed() {
    local name=$1 n=$2; shift 2
    local t0 t1
    child_cpu > "$TMP/cpu0"; t0=$(now)
    "$@" > /dev/null
    t1=$(now); child_cpu > "$TMP/cpu1"
    awk -v n="$n" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f\n", n / (b - a) }' >> "$TMP/$name"
    awk -v n="$n" -v a="$(cat "$TMP/cpu0")" -v b="$(cat "$TMP/cpu1")" 'BEGIN { printf "%.1f\n", (b - a) * 1e6 / n }' >> "$TMP/$name.cpu"
}
curl_loop() {
    for _ in $(seq "$CURL_COUNT"); do
        curl -s --url "smtp://127.0.0.1:$PORT" --mail-from bench@example.com --mail-rcpt ops@example.com \
            -T "$TMP/msg.txt" >/dev/null
    done
}
head -c "$component_size" /dev/zero | tr '\0' 'x' | fold -w 70 | sed 's/$/\r/' > "$TMP/msg.txt"

SRC=(-s 1 -l "$PAYLOAD" -f bench@example.com -t ops@example.com)
echo "smtp-sink on 127.0.0.1:$PORT; $COUNT messages per method, $ROUNDS interleaved rounds;" \
     "message size: component $component_size bytes, smtp-source $source_size bytes;" \
     "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$ROUNDS"); do
    timed source-d "$COUNT" "$SOURCE" -d -m "$COUNT" "${SRC[@]}" "127.0.0.1:$PORT"
    timed reuse "$COUNT" "$BENCH" "127.0.0.1:$PORT" "$COUNT" reuse
    timed source "$COUNT" "$SOURCE" -m "$COUNT" "${SRC[@]}" "127.0.0.1:$PORT"
    timed session "$COUNT" "$BENCH" "127.0.0.1:$PORT" "$COUNT" session
    timed curl "$CURL_COUNT" curl_loop
    echo "round $round: smtp-source -d $(tail -1 "$TMP/source-d"), component kept $(tail -1 "$TMP/reuse")," \
         "smtp-source $(tail -1 "$TMP/source"), component per message $(tail -1 "$TMP/session")," \
         "curl loop $(tail -1 "$TMP/curl") messages/s"
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# per-round ratios of two files, one line each
ratios() { paste "$TMP/$1" "$TMP/$2" | awk '{ printf "%.3f\n", $1 / $2 }'; }
summary() { # NAME: median [min-max]
    sort -g "$1" | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
                          printf "%.2f [%.2f-%.2f]", m, v[1], v[NR] }'
}
row() { # label name
    printf '  %-44s median %8.1f msg/s   client CPU %6.1f us/message\n' \
        "$1" "$(median < "$TMP/$2")" "$(median < "$TMP/$2.cpu")"
}
ratios reuse source-d > "$TMP/ratio-kept"
ratios session source > "$TMP/ratio-session"
ratios reuse curl > "$TMP/ratio-curl"

echo "medians over $ROUNDS rounds:"
row "smtp-source -d (one connection for all)" source-d
row "component, connection kept" reuse
row "smtp-source (one connection per message)" source
row "component, one session per message" session
row "curl tool loop ($CURL_COUNT messages, one per process)" curl
echo "per-round ratios, median [range]:"
echo "  component kept / smtp-source -d (same method: one connection):      $(summary "$TMP/ratio-kept")"
echo "  component per message / smtp-source (same method: one per message): $(summary "$TMP/ratio-session")"
echo "  component kept / curl tool loop:                                     $(summary "$TMP/ratio-curl")"

if [ -n "${OUT:-}" ]; then
    {
        echo "round,source_d,component_kept,source,component_session,curl"
        paste -d, <(seq "$ROUNDS") "$TMP/source-d" "$TMP/reuse" "$TMP/source" "$TMP/session" "$TMP/curl"
    } > "$OUT"
fi
