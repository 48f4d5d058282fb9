#!/usr/bin/env bash
# The README's two commands, run as a user who is not root in a fresh copy of
# the repository (the files a clone holds): tools/demo.sh for real, and the
# package step of both with stand-ins for the system's tools.
# usage: readme_test.sh SOURCE_DIR
set -euo pipefail

source=$1
scratch=$(mktemp -d /tmp/update-readme-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# As nobody when this runs as root (as CI does); another user already is one.
as_user() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$scratch/home" "$@"
  else
    env HOME="$scratch/home" "$@"
  fi
}

clone=$scratch/clone
mkdir -p "$clone" "$scratch/home" "$scratch/bin"
(cd "$source" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - --) | tar -xf - -C "$clone"
[ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$clone" "$scratch/home" "$scratch/bin"

# 1. The demo, whole: packages present, a build without the tests, the update.
if as_user "$clone/tools/demo.sh" >"$scratch/demo.out" 2>"$scratch/demo.err"; then
  grep -q "Target updated successfully." "$scratch/demo.out" || fail "demo: no successful update"
else
  fail "demo exited with $?"
  tail -20 "$scratch/demo.out" "$scratch/demo.err" >&2
fi
[ -x "$clone/build/update" ] && [ -x "$clone/build/simtarget" ] || fail "demo: program or simulated target not built"
[ ! -e "$clone/build/tests" ] || fail "demo: the tests were built too"

# 2. A missing package, no sudo: the packages are named and the command stops.
# The stand-ins: dpkg-query says mandoc is missing; sudo records what it was asked.
tools=$scratch/bin
for tool in bash grep id cat env; do ln -s "$(command -v $tool)" "$tools/$tool"; done
cat >"$tools/dpkg-query" <<'STUB'
#!/bin/bash
[ "${!#}" = mandoc ] && exit 1
printf 'install ok installed'
STUB
chmod 755 "$tools/dpkg-query"

status=0
as_user env PATH="$tools" "$clone/tools/deps.sh" tests >"$scratch/deps.out" 2>"$scratch/deps.err" || status=$?
[ $status -eq 1 ] || fail "deps without sudo: exit status $status, not 1"
grep -q "^  apt-get install mandoc$" "$scratch/deps.err" || { fail "deps without sudo: no install command"; cat "$scratch/deps.err" >&2; }

cat >"$tools/sudo" <<STUB
#!/bin/bash
echo "\$*" >>"$scratch/home/sudo.log"
STUB
chmod 755 "$tools/sudo"
status=0
as_user env PATH="$tools" "$clone/tools/deps.sh" tests >"$scratch/deps.out" 2>"$scratch/deps.err" </dev/null || status=$?
[ $status -eq 0 ] || fail "deps with sudo: exit status $status"
grep -q -- "-n env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mandoc$" \
  "$scratch/home/sudo.log" 2>/dev/null || { fail "deps with sudo: not installed through sudo -n"; cat "$scratch/home/sudo.log" >&2 || true; }

# 3. The test command's steps as this user, with cmake and ctest recording
# their calls (the suite itself is what runs this test).
rm "$tools/sudo"
for tool in cmake ctest; do
  # The build folder that cmake -B would make, so that the script can go on.
  cat >"$tools/$tool" <<STUB
#!/bin/bash
echo "$tool \$*" >>"$scratch/home/calls.log"
while [ \$# -gt 1 ]; do [ "\$1" = -B ] && mkdir -p "\$2"; shift; done
STUB
  chmod 755 "$tools/$tool"
done
ln -s "$(command -v mkdir)" "$tools/mkdir"
sed -i 's/^\[ "\${!#}" = mandoc \] && exit 1$//' "$tools/dpkg-query"
ln -s "$(command -v nproc)" "$tools/nproc"
ln -s "$(command -v dirname)" "$tools/dirname"
if as_user env PATH="$tools" "$clone/tools/run-tests.sh" >"$scratch/run.out" 2>&1; then
  expected="cmake -S . -B build -DUPDATE_TESTS=ON
cmake --build build -j$(nproc)
ctest -j$(nproc) --output-on-failure --timeout 120
cmake -S . -B build-sanitize -DUPDATE_SANITIZE=ON -DUPDATE_VM_TESTS=OFF -DUPDATE_TESTS=ON
cmake --build build-sanitize -j$(nproc)
ctest -j$(nproc) --output-on-failure --timeout 120
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
cmake --build build-win -j$(nproc)
ctest -j$(nproc) --output-on-failure --timeout 120
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DFUZZ_SECONDS=60
cmake --build build-fuzz -j$(nproc)
ctest -j$(nproc) -V"
  [ "$(cat "$scratch/home/calls.log")" = "$expected" ] || { fail "run-tests steps"; cat "$scratch/home/calls.log" >&2; }
else
  fail "run-tests.sh as a user"
  cat "$scratch/run.out" >&2
fi

[ $failures -eq 0 ] || exit 1
echo "README commands: all checks passed"
