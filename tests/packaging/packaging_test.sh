#!/usr/bin/env bash
# Checks what `cmake --install` and `cpack -G DEB` deliver, and the manual page.
# usage: packaging_test.sh install|manual|deb SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail

what=$1 source=$2 build=$3 version=$4
scratch=$(mktemp -d /tmp/update-packaging-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=../checks.sh
source "$(dirname "$0")/../checks.sh"

# The installed program prints the same usage text as the one built, and
# fails as the program does without arguments.
check_program_runs() {  # program
  local status=0 expected
  "$1" >"$scratch/usage" 2>"$scratch/usage.err" || status=$?
  expected=$("$build/update" 2>/dev/null || true)
  expect_same "usage text of $1" "$expected" "$(cat "$scratch/usage")"
  expect_same "exit status of $1 without arguments" 255 "$status"
  expect_same "standard error of $1 without arguments" "" "$(cat "$scratch/usage.err")"
}

case $what in
install)
  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  expect_same "installed files" \
    "bin/update
lib/udev/rules.d/60-update.rules
share/bash-completion/completions/update
share/doc/update/LICENSE
share/man/man1/update.1" \
    "$(cd "$scratch/prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)"
  cmp -s "$source/doc/update.1" "$scratch/prefix/share/man/man1/update.1" || fail "manual page differs from its source"
  cmp -s "$source/packaging/60-update.rules" "$scratch/prefix/lib/udev/rules.d/60-update.rules" ||
    fail "udev rules differ from their source"
  cmp -s "$source/LICENSE" "$scratch/prefix/share/doc/update/LICENSE" || fail "LICENSE differs from its source"
  cmp -s "$source/packaging/update.bash-completion" "$scratch/prefix/share/bash-completion/completions/update" ||
    fail "the completion differs from its source"
  [ -x "$scratch/prefix/bin/update" ] || fail "bin/update is not executable"
  check_program_runs "$scratch/prefix/bin/update"
  ;;

manual)
  page=$source/doc/update.1
  # Any diagnostic at all fails: warnings and style remarks included.
  expect_same "groff -man -ww -z" "" "$(groff -man -ww -z "$page" 2>&1)"
  expect_same "mandoc -T lint" "" "$(mandoc -T lint "$page" 2>&1)"
  # The title line carries the version of the program and a fixed date.
  title=$(grep '^\.TH ' "$page")
  [[ $title =~ ^\.TH\ UPDATE\ 1\ [0-9]{4}-[0-9]{2}-[0-9]{2}\ \"update\ ([0-9.]+)\" ]] || fail "title line: $title"
  expect_same "version in the manual page" "$version" "${BASH_REMATCH[1]:-}"
  # Every message that the program prints to standard output is explained.
  for message in "Connection with Serial Com-Port" "Connection with FTDI-USB Device" \
                 "Connection with CP2102-USB Device" "not found or no rights" "in use or does not exist" \
                 "is larger than 262144 bytes" "ends inside a block" "Target updated successfully" \
                 "Failed: Target is not responding" "CRC error. File damaged" "Transferring.. 100% done"; do
    grep -q -- "$(sed 's/-/\\\\-/g' <<<"$message")" "$page" || fail "the manual does not mention: $message"
  done
  for section in SYNOPSIS OPTIONS "IMAGE FILE" PROTOCOL "EXIT STATUS" ENVIRONMENT FILES EXAMPLES TROUBLESHOOTING; do
    grep -q "^\.SH $section\$" "$page" || fail "section $section missing"
  done
  ;;

deb)
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack"; exit 1; }
  deb=$scratch/out/update_${version}_$(dpkg --print-architecture).deb
  [ -f "$deb" ] || { ls "$scratch/out" >&2; fail "no $deb"; exit 1; }

  # Depends names the packages that hold the libraries the program links.
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libftdi1 libusb-1.0; do
    path=$(ldd "$build/update" | awk -v lib="$library" 'index($1, lib ".so") == 1 { print $3 }')
    owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$owner" ] || { fail "no package holds $library ($path)"; continue; }
    case ", $depends," in
      *", $owner ("* | *", $owner,"*) ;;
      *) fail "Depends lacks $owner: $depends" ;;
    esac
  done
  # The default that the packager replaces (-DUPDATE_PACKAGE_MAINTAINER).
  maintainer=$(sed -n 's/^UPDATE_PACKAGE_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
  expect_same "Maintainer" "$maintainer" "$(dpkg-deb -f "$deb" Maintainer)"
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] || fail "no extended Description"
  expect_same "package version" "$version" "$(dpkg-deb -f "$deb" Version)"

  expect_same "package contents" \
    "./usr/bin/update
./usr/lib/udev/rules.d/60-update.rules
./usr/share/bash-completion/completions/update
./usr/share/doc/update/changelog.gz
./usr/share/doc/update/copyright
./usr/share/man/man1/update.1.gz" \
    "$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)"

  # Errors and warnings both fail; lintian's notes for root are dropped.
  lintian --fail-on error,warning "$deb" >"$scratch/lintian" 2>/dev/null || fail "lintian"
  cat "$scratch/lintian" >&2

  dpkg -x "$deb" "$scratch/root"
  zcat "$scratch/root/usr/share/man/man1/update.1.gz" | cmp -s - "$source/doc/update.1" ||
    fail "packaged manual page differs from its source"
  check_program_runs "$scratch/root/usr/bin/update"

  # The copyright file in Debian's machine-readable format, its licence text
  # the LICENSE file's, line for line.
  copyright=$scratch/root/usr/share/doc/update/copyright
  expect_same "copyright format" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "$(head -1 "$copyright")"
  expect_same "licence of the files" "Files: *
Copyright: 2026 The update developers
License: Expat" "$(sed -n '/^Files: \*$/,/^License:/p' "$copyright")"
  expect_same "licence text" "$(sed -n '/^Permission/,$p' "$source/LICENSE")" \
    "$(sed -n '/^License: Expat$/,$p' "$copyright" | sed -n '/^ Permission/,$p' | sed 's/^ //; s/^\.$//')"
  ;;

*)
  echo "usage: $0 install|manual|deb SOURCE_DIR BUILD_DIR VERSION" >&2
  exit 2
  ;;
esac

[ $failures -eq 0 ] || exit 1
echo "$what: all checks passed"
