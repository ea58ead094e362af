#!/usr/bin/env bash
# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer (clang,
# with libFuzzer instrumentation), then every fuzz target for a short run.
set -euo pipefail
FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=ON -DVANTREL_FUZZ=ON -DVANTREL_BENCH=OFF
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd build-asan && ctest --output-on-failure --no-tests=error -j1 --timeout 600)

work=$(mktemp -d /tmp/vantrel-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
for target in build-asan/fuzz_*; do
  [[ -x "$target" && ! -d "$target" ]] || continue
  name=${target##*/}
  mkdir -p "$work/$name"
  cp fuzz/corpus/"$name"/* "$work/$name"/
  echo "--- fuzzing $name for ${FUZZ_SECONDS}s"
  (cd "$work" && "$OLDPWD/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$name" 2>&1 | tail -n 12)
  if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* >/dev/null 2>&1; then
    echo "fuzz target $name found a failing input:" >&2
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* >&2
    exit 1
  fi
done
