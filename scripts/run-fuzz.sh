#!/bin/bash
# Builds every libFuzzer target (clang, -fsanitize=fuzzer,address,undefined) in
# build-fuzz/ and runs them one after the other from their seed corpora in
# fuzz/seeds/TARGET, sharing the given number of seconds (default 60) between
# them. Any crash, sanitizer report or broken invariant fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build-fuzz
targets=(command_handler_fuzz ini_file_fuzz mime_message_fuzz smtp_reply_fuzz queue_journal_fuzz smtp_session_fuzz
         token_answer_fuzz)

cmake -S fuzz -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" >/dev/null
cmake --build "$out" -j 2 --target "${targets[@]}"

share=$(( seconds / ${#targets[@]} ))
(( share >= 1 )) || share=1
# The command handler logs every message it queues; keep that out of the
# system's /tmp and start each run with an empty folder.
export TMPDIR="$PWD/$out/tmp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  rm -rf "$TMPDIR"
  mkdir -p "$TMPDIR" "$out/corpus/$name" "$out/artifacts/$name"
  cp -n "fuzz/seeds/$name"/* "$out/corpus/$name/" 2>/dev/null || true
  echo "== $target for ${share}s"
  # Messages need room for long subjects and addresses.
  max_len=4096
  [[ $name == mime_message || $name == smtp_reply || $name == queue_journal ]] && max_len=16384
  "$out/$target" "$out/corpus/$name" -max_total_time="$share" -max_len="$max_len" \
    -artifact_prefix="$out/artifacts/$name/" -print_final_stats=1
done
echo "fuzzing for ${seconds}s in all: no crash"
