#!/usr/bin/env bash
# How soon SIGINT ends an update that waits for a silent target, on each link.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh build >/dev/null
build/bench/interrupt_bench
