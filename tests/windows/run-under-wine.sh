#!/usr/bin/env bash
# Runs a Windows console program under Wine in a throw-away prefix:
#   run-under-wine.sh <wine loader> <prefix folder> <program.exe> [args...]
# The prefix is made afresh on every run and removed afterwards.
set -uo pipefail
wine=$1
prefix=$2
shift 2
[[ $prefix == /*/* ]] || { echo "run-under-wine.sh: prefix must be an absolute path below /: $prefix" >&2; exit 2; }

source "$(dirname "$0")/wine-prefix.sh"

cd "$(dirname "$1")"
timeout 300 "$wine" "$@"
