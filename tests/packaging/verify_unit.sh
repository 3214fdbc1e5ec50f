#!/bin/sh
# systemd-analyze verify on the unit in packaging/, with ExecStart pointed at
# the built program. Any complaint fails: verify only warns about many mistakes
# (a misspelt Type= among them) and still exits 0. Exits 77 (skipped) without
# systemd-analyze.
set -u
unit="$1"
program="$2"
command -v systemd-analyze >/dev/null 2>&1 || { echo "SKIP: systemd-analyze not installed"; exit 77; }
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
sed "s#/usr/bin/corvane#$program#" "$unit" > "$dir/corvane.service"
out=$(systemd-analyze verify "$dir/corvane.service" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "systemd-analyze verify (exit $rc):"
    echo "$out"
    exit 1
fi
echo "corvane.service verified"
