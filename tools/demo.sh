#!/usr/bin/env bash
# Installs what is missing, builds the program and the simulated target (not
# the tests), and updates the simulated target with the example image over a
# pseudo-terminal: no hardware needed.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh demo
tools/build.sh build -DUPDATE_TESTS=OFF
exec build/simtarget --pace 115200 -- build/update -Fexamples/demo.hex -COM@PORT@ -115200 "$@"
