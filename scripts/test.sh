#!/usr/bin/env bash
# Installs what the build and the tests need, builds drought-export and runs
# every test; then says why each skipped test was skipped.
#   scripts/test.sh             release build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --tests

dir=build
flags=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DDX_SANITIZE=ON -DDX_BUILD_BENCH=OFF)
  export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  # The sanitized binary is several times slower: the campaign runs a
  # reduced set here (the release build runs the full CI set).
  export DX_HOSTILE_SEEDS="${DX_HOSTILE_SEEDS:-60}" DX_KILLS="${DX_KILLS:-12}"
fi
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
status=0
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)" || status=$?

# ctest lists the skipped tests without their reasons; the reasons are in
# its log: the text after GoogleTest's "Skipped" line, or a line of the
# test's own saying "... skipped: <why>" (a skipped script, or a case
# skipped within a test that ran).
log=$dir/Testing/Temporary/LastTest.log
if [ -f "$log" ]; then
  awk '
    /^[0-9]+\/[0-9]+ Testing: / { test = substr($0, index($0, "Testing: ") + 9); why = ""; grab = 0; next }
    grab && (/^\[  SKIPPED \]/ || /^Google Test trace:/) { grab = 0; print "skipped: " test ": " why; next }
    grab { why = why (why == "" ? "" : " ") $0; next }
    /: Skipped$/ { grab = 1; next }
    /(^| )skipped: / { print "skipped: " test ": " $0 }
  ' "$log" | sort -u
fi
exit "$status"
