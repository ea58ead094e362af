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

# The targets run side by side, one per core, each for FUZZ_SECONDS in a
# folder of its own (its corpus copy, and any failing input it writes).
work=$(mktemp -d /tmp/vantrel-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$PWD
names=()
for target in build-asan/fuzz_*; do
  [[ -x "$target" && ! -d "$target" ]] || continue
  name=${target##*/}
  names+=("$name")
  mkdir -p "$work/$name/corpus" "$work/$name/run"
  cp fuzz/corpus/"$name"/* "$work/$name/corpus"/
  (cd "$work/$name/run"
   if "$root/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       "$work/$name/corpus" >"$work/$name/log" 2>&1; then echo 0; else echo $?; fi >"$work/$name/status") &
  while (( $(jobs -rp | wc -l) >= $(nproc) )); do wait -n || true; done
done
wait
failed=0
for name in "${names[@]}"; do
  echo "--- fuzzed $name for ${FUZZ_SECONDS}s"
  tail -n 12 "$work/$name/log"
  # A failing input is kept as crash-, leak-, timeout- or oom-<hash>; the
  # target then exits non-zero as well.
  inputs=$(find "$work/$name/run" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
      -o -name 'oom-*' \))
  status=$(cat "$work/$name/status" 2>/dev/null || echo 1)
  if [[ -n $inputs || $status != 0 ]]; then
    echo "fuzz target $name failed (exit status $status)${inputs:+; failing input:}" >&2
    [[ -z $inputs ]] || echo "$inputs" >&2
    failed=1
  fi
done
exit "$failed"
