# Shared by the shell tests: count failures and say what differed, so that a
# test runs all its checks and ends with the count.
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

expect_same() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
  fi
}
