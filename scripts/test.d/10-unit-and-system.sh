#!/usr/bin/env bash
# The main build: unit tests, system tests (network namespaces when root),
# tools and benchmarks compiled.
set -euo pipefail
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
cd build && ctest --output-on-failure -j1 --timeout 600
