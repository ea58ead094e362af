#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: every stage
# in scripts/test.d, in name order. Fails on the first failing stage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
export VANTREL_ROOT="$PWD"
for stage in scripts/test.d/*.sh; do
  echo "=== ${stage##*/}"
  started=$SECONDS
  bash "$stage"
  echo "=== ${stage##*/} passed in $((SECONDS - started)) s"
done
echo "=== all test stages passed"
