#!/usr/bin/env bash
# Updates a 256 KiB image (1024 blocks of 256 bytes) against the simulated
# target over a pseudo-terminal and prints the median wall time, the
# protocol's floor (the drain's final empty read, t*1+t = 2 ms a block),
# their ratio and the update's CPU time as a share of wall time.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-7}
[ -x build/update ] || tools/build.sh build
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tools/make-image.sh 1024 254 > "$work/image.hex"

for run in $(seq "$runs"); do
  build/simtarget --quiet --summary "$work/summary" -- \
    build/update -F"$work/image.hex" -COM@PORT@ -256000 > /dev/null
  awk '/^wall_ms/ {w=$2} /^cpu_ms/ {c=$2} END {print w, c}' "$work/summary"
done | sort -n | awk -v runs="$runs" -v blocks=1024 '
  { wall[NR] = $1; cpu[NR] = $2 }
  END {
    m = int((runs + 1) / 2)
    floor = blocks * 2
    printf "runs %d, median wall %.1f ms (min %.1f, max %.1f)\n", runs, wall[m], wall[1], wall[runs]
    printf "floor %.1f ms, ratio %.3f\n", floor, wall[m] / floor
    printf "update CPU %.1f ms, %.1f%% of wall\n", cpu[m], 100 * cpu[m] / wall[m]
  }'
