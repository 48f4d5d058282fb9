#!/usr/bin/env bash
# Fuzzes the command-line parser and the image reader with libFuzzer (clang,
# AddressSanitizer and UndefinedBehaviorSanitizer): both targets at once, one
# per core, each for the given number of seconds (default 60), starting from
# the seed corpora in tests/fuzz/corpus. The inputs that grew coverage stay in
# build-fuzz/work/<target>/corpus; an input that broke a check or tripped a
# sanitizer is kept in build-fuzz/work/<target>/findings, printed, and fails
# the run. Replay one with build/tests/fuzz_replay_<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=build-fuzz

cmake -S tests/fuzz -B "$dir" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null

fuzz() {
  local target=$1 max_len=$2
  local work="$dir/work/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  cp tests/fuzz/corpus/"$target"/* "$work/corpus/"
  "$dir/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -artifact_prefix="$work/findings/" "$work/corpus" >"$work/log" 2>&1
}

fuzz command_line 4096 & command_line=$!
fuzz image 8192 & image=$!
failed=0
for target in command_line image; do
  work="$dir/work/$target"
  status=0
  wait "${!target}" || status=$?
  seeds=$(ls tests/fuzz/corpus/"$target" | wc -l)
  grown=$(ls "$work/corpus" | wc -l)
  done_line=$(grep -E '^Done [0-9]+ runs' "$work/log" || true)
  findings=$(ls "$work/findings")
  if [ "$status" -eq 0 ] && [ -z "$findings" ] && [ -n "$done_line" ]; then
    echo "fuzz_$target: ${done_line#Done }; corpus $seeds -> $grown inputs; nothing found"
    continue
  fi
  failed=1
  echo "fuzz_$target: FAILED (status $status)"
  grep -E 'check failed|ERROR: |runtime error|SUMMARY' "$work/log" | head -n 5 || true
  for finding in $findings; do
    echo "  input $work/findings/$finding:"
    od -A d -c "$work/findings/$finding" | head -n 20
  done
done
exit "$failed"
