#!/bin/bash
# Builds the command-handler and queue-journal fuzz targets with clang's libFuzzer
# (-fsanitize=fuzzer,address,undefined) in build-fuzz/ and runs it for the given
# number of seconds (default 60) from the seed corpus in fuzz/seeds. Any crash,
# sanitizer report or broken invariant fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build-fuzz

cmake -S fuzz -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" >/dev/null
cmake --build "$out" -j 2 --target command_handler_fuzz queue_journal_fuzz

mkdir -p "$out/corpus" "$out/artifacts"
cp -n fuzz/seeds/* "$out/corpus/" 2>/dev/null || true
# The handler logs every message it queues; keep that out of the system's /tmp
# and start each run with an empty folder.
export TMPDIR="$PWD/$out/tmp"
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
"$out/command_handler_fuzz" "$out/corpus" -max_total_time="$seconds" -max_len=4096 \
  -artifact_prefix="$out/artifacts/" -print_final_stats=1
echo "fuzzing for ${seconds}s: no crash"

# The queue journal's reader, from its own seeds.
mkdir -p "$out/corpus-journal"
cp -n fuzz/seeds-journal/* "$out/corpus-journal/" 2>/dev/null || true
"$out/queue_journal_fuzz" "$out/corpus-journal" -max_total_time="$seconds" -max_len=8192 \
  -artifact_prefix="$out/artifacts/" -print_final_stats=1
echo "fuzzing the queue journal for ${seconds}s: no crash"
