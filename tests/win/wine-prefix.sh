#!/usr/bin/env bash
# The Wine prefix of one test run: "start" makes it afresh, warms it and keeps
# one wineserver running for the whole suite; "stop" ends that server.
# usage: wine-prefix.sh start|stop PREFIX WINE64
set -euo pipefail
action=$1
prefix=$2
wine=$3
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(command -v wineserver)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

case $action in
start)
  "$server" -k 2>/dev/null || true  # a server left by an earlier run
  rm -rf "$prefix"
  mkdir -p "$prefix"
  # The server outlives this script: it must not hold CTest's output pipe.
  "$server" -p </dev/null >/dev/null 2>&1
  # The first Wine process started with its standard streams on a pipe can
  # hang, and the helpers it starts keep them: warm up on files.
  "$wine" wineboot -i </dev/null >"$prefix.log" 2>&1
  "$wine" cmd /c exit </dev/null >>"$prefix.log" 2>&1
  ;;
stop)
  "$server" -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX WINE64" >&2
  exit 2
  ;;
esac
