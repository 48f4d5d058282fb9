#!/usr/bin/env bash
# Fuzzes the command-line parser and the image reader with libFuzzer (clang,
# AddressSanitizer and UndefinedBehaviorSanitizer): both targets at once, one
# per core, each for the given number of seconds (default 60), starting from
# copies of the seed corpora in tests/fuzz/corpus. Each prints its executions;
# an input that broke a check or tripped a sanitizer is printed, kept in
# build-fuzz/work/<target>/findings, and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DFUZZ_SECONDS="$seconds" >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
(cd build-fuzz && ctest -j"$(nproc)" -V)
