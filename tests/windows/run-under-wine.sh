#!/usr/bin/env bash
# Runs a Windows console program under Wine in a throw-away prefix:
#   run-under-wine.sh <wine loader> <prefix folder> <program.exe> [args...]
# The prefix is made afresh on every run (wineboot, bounded in time); the
# prefix's wineserver is stopped and the prefix removed afterwards. No
# display is needed.
set -uo pipefail
wine=$1
prefix=$2
shift 2
[[ $prefix == /*/* ]] || { echo "run-under-wine.sh: prefix must be an absolute path below /: $prefix" >&2; exit 2; }

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo wineserver)
finish() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  rm -rf "$prefix"
}
trap finish EXIT

rm -rf "$prefix"
mkdir -p "$prefix"
if ! timeout 300 "$wine" wineboot --init >"$prefix.boot.log" 2>&1; then
  echo "wineboot --init failed or took over 300 s:" >&2
  cat "$prefix.boot.log" >&2
  exit 1
fi

cd "$(dirname "$1")"
timeout 300 "$wine" "$@"
