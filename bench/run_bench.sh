#!/usr/bin/env bash
# End-to-end benchmark: for each network size, generates an input set with
# dx-sample in a temporary folder, then runs drought-export and the I/O floor
# alternately there and prints one table row per size.
#
#   bench/run_bench.sh [--sizes "200 2500 26000 100000"] [--runs 5] [--build DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sizes="200 2500 26000 100000"
runs=5
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--sizes LIST] [--runs N] [--build DIR]" >&2; exit 2 ;;
  esac
done
if [ ! -x "$build/drought-export" ] || [ ! -x "$build/bench/dx-io-floor" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target drought-export dx-sample dx-io-floor dx-bench-runner >/dev/null
fi
build=$(realpath "$build")
work=$(mktemp -d "${TMPDIR:-/tmp}/dx-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "drought-export benchmark on $(nproc) cores, $(date -u +%Y-%m-%d), median of $runs runs"
"$build/bench/dx-bench-runner" --header
for n in $sizes; do
  dir="$work/$n"
  mkdir -p "$dir"
  "$build/dx-sample" --out "$dir" --stations "$n" --seed 1 >/dev/null
  (cd "$dir" && "$root/scripts/at_fixed_path.sh" "$dir/SPI_Stn.nc" -- \
     "$build/bench/dx-bench-runner" --tool "$build/drought-export" --floor "$build/bench/dx-io-floor" \
     --stations "$n" --runs "$runs")
  rm -rf "$dir"
done
