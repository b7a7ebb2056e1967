#!/usr/bin/env bash
# End-to-end benchmark: for each network size, generates an input set with
# dx-sample in a temporary folder, then runs drought-export and the I/O floor
# alternately there (dx-bench-runner) and prints one table row per size.
#
#   bench/run_bench.sh [--sizes "200 2500 26000 100000"] [--runs 9]
#                      [--format classic|64bit|netcdf4] [--first-run] [--build DIR]
#
# Each run replaces the outputs of the previous one, as a user's repeated run
# does; with --first-run they are removed before each run (untimed), as in a
# first run in an empty folder.
# Without --build, the Release build folder build/ of the source tree is
# configured and brought up to date first.  With --build DIR, the programs of
# that existing build folder are used as they are, nothing is built.
#
# Both programs read the generated station file (drought-export with
# --station-file).  A size whose files would not fit the free space of the temporary folder is skipped with
# a message.  The temporary folder (TMPDIR or /tmp) is removed at the end.
set -euo pipefail

me=run_bench.sh
root=$(cd "$(dirname "$0")/.." && pwd)
sizes="200 2500 26000 100000"
runs=9
format=classic
first_run=
build=
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --format) format=$2; shift 2 ;;
    --first-run) first_run=--first-run; shift ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $me [--sizes LIST] [--runs N] [--format classic|64bit|netcdf4] [--first-run] [--build DIR]" >&2; exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  build=$root/build
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target drought-export dx-sample dx-io-floor dx-bench-runner >/dev/null
fi
[ -d "$build" ] || { echo "$me: $build: no such build folder" >&2; exit 2; }
build=$(cd "$build" && pwd)
for prog in drought-export dx-sample bench/dx-io-floor bench/dx-bench-runner; do
  [ -x "$build/$prog" ] || { echo "$me: $build/$prog is missing; build it first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/dx-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cpu=$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //' || true)
fs=$(df -PT "$work" | awk 'NR == 2 {print $2}')
echo "drought-export benchmark: $(nproc) cores${cpu:+ ($cpu)}, $fs file system, $(date -u +%Y-%m-%d)," \
     "$format input, ${first_run:+first run in an empty folder, }median of $runs runs"
"$build/bench/dx-bench-runner" --header
for n in $sizes; do
  # Inputs about 2.4 kB per station; the tool's and the floor's outputs
  # about 21.2 kB each; a quarter more for safety.
  need_kb=$(( (n * 45 * 5 / 4 + 1023) / 1024 + 1024 ))
  free_kb=$(df -Pk "$work" | awk 'NR == 2 {print $4}')
  if [ "$free_kb" -lt "$need_kb" ]; then
    echo "| $n | skipped: needs about $((need_kb / 1024)) MB free in $work, $((free_kb / 1024)) MB there |"
    continue
  fi
  dir="$work/$n"
  mkdir -p "$dir"
  "$build/dx-sample" --out "$dir" --stations "$n" --seed 1 --format "$format" >/dev/null
  (cd "$dir" && "$build/bench/dx-bench-runner" --tool "$build/drought-export" --floor "$build/bench/dx-io-floor" \
     --station-file "$dir/SPI_Stn.nc" --stations "$n" --runs "$runs" $first_run)
  rm -rf "$dir"
done
