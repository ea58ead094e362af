#!/usr/bin/env bash
# Installs what is missing, builds, and starts the monitor in the repository
# folder (web interface on the httpPort setting, 7909 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF
cmake --build build -j"$(nproc)" --target vantrel
exec build/vantrel
