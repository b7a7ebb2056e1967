#!/usr/bin/env bash
# The long reliability run: many more hostile input sets than CI runs, and
# optionally many more kills, with the binary built under AddressSanitizer
# and UndefinedBehaviorSanitizer (or the release build).
#
#   scripts/hostile_long.sh [--seeds N] [--first S] [--kills K] [--jobs J] [--release]
#
#   --seeds N   hostile input sets to run (default 2000)
#   --first S   first seed (default 1000; CI runs seeds 1 to 100)
#   --kills K   also run the kill loop with K kills (default: not run)
#   --jobs J    shards run side by side (default: number of processors)
#   --release   use the release build in build/ instead of build-asan/
#
# Each seed's run must succeed with outputs consistent with its inputs or
# fail cleanly (status 1, one error line naming file and variable, no
# output touched); a crash, a hang or a sanitizer report fails the run.
# Logs go to <build>/hostile-long/; the exit status is 0 only if every
# shard passed.  A failing seed is reproduced alone with
#   DX_HOSTILE_FIRST=<seed> DX_HOSTILE_SEEDS=1 <build>/tests/dx_tests --gtest_filter='Shards/HostileSeeds.*/shard_0'
set -euo pipefail
cd "$(dirname "$0")/.."

seeds=2000 first=1000 kills=0 jobs=$(nproc) release=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds=$2; shift 2 ;;
    --first) first=$2; shift 2 ;;
    --kills) kills=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --release) release=1; shift ;;
    *) echo "usage: $0 [--seeds N] [--first S] [--kills K] [--jobs J] [--release]" >&2; exit 2 ;;
  esac
done

./scripts/setup.sh
if [ "$release" = 1 ]; then
  dir=build
  flags=(-DCMAKE_BUILD_TYPE=Release)
else
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DDX_SANITIZE=ON -DDX_BUILD_BENCH=OFF)
  export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target dx_tests drought-export dx-sample

logs=$dir/hostile-long
rm -rf "$logs"
mkdir -p "$logs"
# The test splits the seeds into 4 shards; larger runs are cut into
# batches of consecutive seeds, each run as its 4 shards.
shards=4
batch=$(( (seeds + jobs - 1) / jobs ))
batch=$(( (batch + shards - 1) / shards * shards ))
pids=()
start=$first
end=$((first + seeds))
n=0
while [ "$start" -lt "$end" ]; do
  count=$(( end - start < batch ? end - start : batch ))
  DX_HOSTILE_FIRST=$start DX_HOSTILE_SEEDS=$count \
    "$dir/tests/dx_tests" --gtest_filter='Shards/HostileSeeds.*' >"$logs/batch-$n.log" 2>&1 &
  pids+=($!)
  start=$((start + count))
  n=$((n + 1))
done
if [ "$kills" -gt 0 ]; then
  DX_KILLS=$kills "$dir/tests/dx_tests" --gtest_filter='CrashConsistency.*' >"$logs/kills.log" 2>&1 &
  pids+=($!)
fi

status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
grep -h '^\[ hostile  \]\|^\[ kills    \]' "$logs"/*.log || true
cases=$(grep -h '^\[ hostile  \]' "$logs"/*.log | awk '{ c += $6 } END { print c + 0 }')
echo "hostile cases run: $cases (seeds $first to $((first + seeds - 1)))"
if [ "$status" -ne 0 ]; then
  echo "FAILED; see $logs:" >&2
  grep -l 'FAILED' "$logs"/*.log >&2 || true
  grep -h -A3 'Failure' "$logs"/*.log | head -40 >&2 || true
fi
exit "$status"
