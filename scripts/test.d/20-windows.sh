#!/usr/bin/env bash
# The Windows side: every source cross-compiled with mingw-w64 (no warnings
# allowed in our code), the platform layer's test program run under wine64.
set -euo pipefail
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DVANTREL_TESTS=ON
cmake --build build-windows -j"$(nproc)"
cd build-windows && ctest --output-on-failure --no-tests=error -j1 --timeout 600
