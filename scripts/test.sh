#!/usr/bin/env bash
# Builds drought-export and runs every test.
#   scripts/test.sh             release build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

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
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
