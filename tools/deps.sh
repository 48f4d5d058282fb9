#!/usr/bin/env bash
# Installs the Debian packages that are missing: those that building and the
# demo need, or (with "tests") those that the whole test suite needs too, or
# the packages named. Root installs them; another user through sudo where it
# is there; otherwise the script names the packages to install and stops.
# usage: deps.sh [demo|tests|PACKAGE...]
set -euo pipefail

build=(cmake g++ make pkg-config libusb-1.0-0-dev libftdi1-dev)
# GoogleTest, the USB emulation, manual page lint, the Debian package and
# the completion run as bash-completion runs it;
# the Windows build (mingw-w64; its 32-bit compiler for a wrong-bitness DLL,
# GoogleTest's sources) and Wine to test it;
# clang with libFuzzer for the fuzz targets; strace shows what the in-use
# check looks at.
tests=(libgtest-dev libgmock-dev umockdev libumockdev-dev groff-base mandoc
       dpkg-dev file lintian git strace bash-completion
       googletest g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine
       clang libfuzzer-14-dev libclang-rt-14-dev)
# npm fetches Zig's cross compiler for the macOS check; Node.js from another
# source brings its own npm, which then must not be replaced.
command -v npm >/dev/null || tests+=(npm)

case "${1:-tests}" in
  demo) packages=("${build[@]}") ;;
  tests) packages=("${build[@]}" "${tests[@]}") ;;
  *) packages=("$@") ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
install=(apt-get install -y -qq --no-install-recommends "${missing[@]}")
if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  "${install[@]}" >/dev/null
  exit 0
fi

if command -v sudo >/dev/null; then
  # Without a terminal sudo cannot ask for a password: then it must not need one.
  sudo_=(sudo)
  [ -t 0 ] || sudo_=(sudo -n)
  echo "installing with sudo: ${missing[*]}"
  if "${sudo_[@]}" apt-get update -qq && "${sudo_[@]}" env DEBIAN_FRONTEND=noninteractive "${install[@]}" >/dev/null; then
    exit 0
  fi
  echo "sudo could not install them." >&2
fi

cat >&2 <<MESSAGE
These Debian packages are needed and not installed:
  ${missing[*]}
Install them as root, then run this command again:
  apt-get install ${missing[*]}
MESSAGE
exit 1
