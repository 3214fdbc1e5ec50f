#!/bin/bash
# The whole road on this machine, with nothing configured: a local capturing SMTP
# server, Corvane started from demo/service with settings pointing at it, one
# notification sent with corvane-send, then the delivered message and the log.
# Everything started here is stopped on the way out. Uses the real ports 1095/1096.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-build}
BIN=$ROOT/$BUILD/bin
DEMO=$ROOT/demo
PY=/usr/bin/python3

say() { printf '\n== %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

for tool in corvane corvane-send; do
    [ -x "$BIN/$tool" ] || die "$BIN/$tool is missing; run 'make build' first"
done

# Corvane owns UDP 1095 and corvane-send listens on 1096 for the acknowledgement.
for port in 1095 1096; do
    if [ -n "$(ss -Hlun "sport = :$port" 2>/dev/null)" ]; then
        die "UDP port $port is already in use (another Corvane running?): $(ss -Hlunp "sport = :$port" | head -1)"
    fi
done

SMTP_PID=""
CORVANE_PID=""
cleanup() {
    for pid in $CORVANE_PID $SMTP_PID; do
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
}
trap cleanup EXIT INT TERM

# Waits up to $1 tenths of a second for the command in "$2..." to succeed.
wait_for() {
    local tenths=$1; shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

rm -rf "$DEMO/service" "$DEMO/mail"
mkdir -p "$DEMO/service" "$DEMO/mail"

SMTP_PORT=$($PY -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
say "Capturing SMTP server on 127.0.0.1:$SMTP_PORT, messages in demo/mail/"
"$PY" tests/support/smtp_capture.py --port "$SMTP_PORT" --out "$DEMO/mail" >"$DEMO/smtp.out" 2>&1 &
SMTP_PID=$!
wait_for 100 grep -q READY "$DEMO/smtp.out" || { cat "$DEMO/smtp.out"; die "SMTP server did not start"; }

cp "$BIN/corvane" "$DEMO/service/corvane"
printf '%s\r\n' \
    '[Email_List_1]' 'Name=Demo operators' 'Address_1=operator@example.com' 'Address_2=standby@example.com' \
    '' '[Email_Settings]' "SMPT_Server=127.0.0.1:$SMTP_PORT" 'Sender_Name=Corvane demo' \
    'Sender_Email=alarm@corvane.example' 'MIME=1' 'Priority=0' >"$DEMO/service/Corvane.ini"
say "demo/service/Corvane.ini"
cat "$DEMO/service/Corvane.ini"

LOG="$DEMO/service/Logs/Corvane Log On $(date +%Y%m%d).TXT"
log_has() { grep -qs "$1" "$DEMO/service/Logs/"*.TXT; }
say "Starting Corvane (headless) from demo/service/"
env -u DISPLAY -u WAYLAND_DISPLAY "$DEMO/service/corvane" >"$DEMO/service/corvane.out" 2>&1 &
CORVANE_PID=$!
if ! wait_for 100 log_has "Program Started"; then
    cat "$DEMO/service/corvane.out"
    die "Corvane did not start"
fi

SUBJECT="Pump 3 stopped"
TEXT="Pressure low on line 3 at $(date +%H:%M:%S)"
say "corvane-send --list 1 --subject '$SUBJECT' --text '$TEXT'"
"$BIN/corvane-send" --list 1 --subject "$SUBJECT" --text "$TEXT" --timeout 2 --retries 3

msg_there() { compgen -G "$DEMO/mail/*.eml" >/dev/null; }
wait_for 100 msg_there || die "no message reached the SMTP server within 10 s"
say "Delivered message ($(ls "$DEMO"/mail/*.eml | head -1 | sed "s|$ROOT/||"))"
cat "$(ls "$DEMO"/mail/*.eml | head -1)" | tr -d '\r'

say "Stopping Corvane (SIGTERM)"
kill -TERM "$CORVANE_PID"
status=0
wait "$CORVANE_PID" || status=$?
CORVANE_PID=""
echo "exit status $status"

say "Activity log (${LOG#"$ROOT/"})"
cat "$DEMO/service/Logs/"*.TXT | tr -d '\r'
[ "$status" -eq 0 ] || die "Corvane exited with status $status"
say "Done: alarm in, acknowledged, mailed and logged."
