#!/usr/bin/env bash
# The Windows release archive: `cpack -G ZIP` in the Windows build folder,
# its listing, its text files' CR LF line ends, and the unpacked update.exe
# run under Wine against the simulated target over a Wine COM port.
# usage: release_archive_test.sh BUILD_DIR VERSION
# environment (as the other Wine tests): WINE, WINEPREFIX, SIMTARGET
set -uo pipefail
build=$1 version=$2
scratch=$(mktemp -d /tmp/update-archive-XXXXXX)
trap 'rm -rf "$scratch"; rm -f "$WINEPREFIX/dosdevices/com31"' EXIT
# shellcheck source=../checks.sh
source "$(dirname "$0")/../checks.sh"

cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack"; exit 1; }
name=update-$version-win64
zip=$scratch/out/$name.zip
[ -f "$zip" ] || { ls "$scratch/out" >&2; fail "no $name.zip"; exit 1; }

expect_same "archive listing" "$name/LICENSE.txt
$name/README.txt
$name/update.exe
$name/update.html" "$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"

mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "$zip") || fail "unpacking"
dir=$scratch/unpacked/$name

# Every line of the text files ends in CR LF; the licence is the project's.
for text in README.txt LICENSE.txt; do
  awk '!/\r$/ { bad = 1 } END { exit bad }' "$dir/$text" || fail "$text has a line without CR LF"
done
expect_same "LICENSE.txt" "$(cat "$(dirname "$0")/../../LICENSE")" "$(tr -d '\r' <"$dir/LICENSE.txt")"
for topic in FTD2XX.dll SiUSBXp.dll "next to update.exe" "update -Fimage.hex -COM3 -115200" \
             "CRC error. File damaged." "Failed: Target is not responding." "SPDX-License-Identifier: MIT"; do
  grep -qF "$topic" "$dir/README.txt" || fail "README.txt does not mention: $topic"
done
# mandoc breaks lines where the page's source does.
grep -q '<html' "$dir/update.html" && tr -s ' \n' '  ' <"$dir/update.html" | grep -qF 'CRC error. File damaged.' ||
  fail "update.html is not the manual page as HTML"
cmp -s "$dir/update.exe" "$build/update.exe" || fail "update.exe is not the one built"

# The unpacked program, alone in its folder, updates the simulated target.
cp "$dir/update.exe" "$scratch/run.exe"
printf '00 03 01 02 03\n00 01 04\n' >"$scratch/image.hex"
(cd "$scratch" && "$SIMTARGET" --quiet --link "$WINEPREFIX/dosdevices/com31" -- \
   "$WINE" "$dir/update.exe" -Fimage.hex -COM31 -115200 >stdout 2>stderr </dev/null)
status=$?
expect_same "exit status of the update" 0 "$status"
expected=$(printf 'Connection with Serial Com-Port COM31...\r\n\r                        \rTransferring.. - 0%% done.\r                        \rTransferring.. - 62%% done.\rTransferring.. 100%% done.  \r\nTarget updated successfully.\r\n.')
expect_same "standard output of the update" "$expected" "$(cat "$scratch/stdout"; printf .)"

(cd "$scratch" && "$WINE" "$dir/update.exe" --version >version 2>&1 </dev/null)
expect_same "exit status of --version" 0 $?
grep -q "^update $version.*"$'\r$' "$scratch/version" || { cat "$scratch/version" >&2; fail "--version"; }
grep -qF "MIT" "$scratch/version" || fail "--version names no licence"

[ $failures -eq 0 ] || exit 1
echo "release archive: all checks passed ($(stat -c %s "$zip") bytes)"
