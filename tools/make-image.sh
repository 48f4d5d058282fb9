#!/usr/bin/env bash
# Writes an image file of BLOCKS blocks of PAYLOAD payload bytes each.
# usage: make-image.sh BLOCKS PAYLOAD > image.hex
set -euo pipefail
blocks=${1:?blocks}
payload=${2:?payload bytes per block}
awk -v blocks="$blocks" -v payload="$payload" 'BEGIN {
  for (b = 0; b < blocks; b++) {
    printf "%02X %02X\n", int(payload / 256), payload % 256
    for (i = 0; i < payload; i++)
      printf "%02X%s", (b * 7 + i) % 256, (i % 16 == 15 || i == payload - 1) ? "\n" : " "
  }
}'
