#!/usr/bin/env bash
# Runs one fuzz target for a fixed time from a copy of its seed corpus and
# says what it did: executions, how the corpus grew, and any input that broke
# a check or tripped a sanitizer (kept in WORK/findings and printed). The
# inputs that grew coverage stay in WORK/corpus.
# usage: run_fuzzer.sh FUZZER SEED_CORPUS WORK SECONDS MAX_LEN
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4 max_len=$5
name=$(basename "$fuzzer")

rm -rf "$work"
mkdir -p "$work/corpus" "$work/findings"
cp "$seeds"/* "$work/corpus/"
status=0
"$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
  -artifact_prefix="$work/findings/" "$work/corpus" >"$work/log" 2>&1 || status=$?

done_line=$(grep -E '^Done [0-9]+ runs' "$work/log" || true)
findings=$(ls "$work/findings")
if [ "$status" -eq 0 ] && [ -z "$findings" ] && [ -n "$done_line" ]; then
  echo "$name: ${done_line#Done }; corpus $(ls "$seeds" | wc -l) -> $(ls "$work/corpus" | wc -l) inputs; nothing found"
  exit 0
fi
echo "$name: FAILED (status $status); log $work/log"
grep -E 'check failed|ERROR: |runtime error|SUMMARY' "$work/log" | head -n 5 || true
for finding in $findings; do
  echo "input $work/findings/$finding (replay: build/tests/fuzz_replay_${name#fuzz_} FILE):"
  od -A d -c "$work/findings/$finding" | head -n 20
done
exit 1
