#!/usr/bin/env bash
# Time per block over the emulated FTDI and CP2102 links, and the cost of
# the FTDI converter's latency timer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh build >/dev/null
build/bench/usb_latency_bench
