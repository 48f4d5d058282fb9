#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: as built
# for use, and under AddressSanitizer and UndefinedBehaviorSanitizer.
# The kernel-driver stage (label vm: the program in a QEMU guest, about two
# minutes) runs once, in the plain build: the sanitizers would check the same
# code again, only slower under emulation. Then update.exe is cross-compiled
# for Windows and its tests run under Wine, in a Wine prefix of their own.
# Last, the command-line parser and the image reader are fuzzed for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh tests
tests/vm/deps.sh

tools/build.sh build -DUPDATE_TESTS=ON
(cd build && ctest -j"$(nproc)" --output-on-failure --timeout 120)

tools/build.sh build-sanitize -DUPDATE_SANITIZE=ON -DUPDATE_VM_TESTS=OFF -DUPDATE_TESTS=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-sanitize && ctest -j"$(nproc)" --output-on-failure --timeout 120)

tools/build.sh build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
(cd build-win && ctest -j"$(nproc)" --output-on-failure --timeout 120)

tools/fuzz.sh 60
