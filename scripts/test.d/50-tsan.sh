#!/usr/bin/env bash
# The whole suite, stress test included, under ThreadSanitizer.
set -euo pipefail
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=thread -DVANTREL_TESTS=ON -DVANTREL_BENCH=OFF -DVANTREL_FUZZ=OFF
cmake --build build-tsan -j"$(nproc)"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
(cd build-tsan && ctest --output-on-failure --no-tests=error -j1 --timeout 900)
