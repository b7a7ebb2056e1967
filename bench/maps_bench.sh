#!/usr/bin/env bash
# Benchmark of --maps: for each network size, generates an input set with
# dx-sample in a temporary folder, runs drought-export there without --maps
# (the outputs, untimed once, then timed) and with --maps, and then runs the
# GrADS calls of the maps step alone: the same grads commands on the same
# files (and the station maps the tool wrote), as many at once as the tool
# runs (one per usable processor), through xargs.  With --stnmap, the same
# for stnmap over the 35 data sets, which the tool no longer runs: what the
# station maps would cost if GrADS built them.  Then the explorer page of
# the maps step alone (dx-explorer-bench: load, plan, and write it in the
# folder).  Prints one table row per size:
#
#   stations | run without --maps | with --maps | maps step | GrADS calls alone | ratio | CPU | drawing |
#   explorer: time, data, share of the other outputs | step / step without the explorer
#
# where the maps step is the difference of the two runs, the ratio is the
# maps step over its GrADS calls alone, and CPU the processor time (user +
# system, all processes) of the run with --maps and of the GrADS calls
# alone.  On a machine shared with other work the elapsed times grow with
# the load; CPU / cores is what the step takes on an idle machine.
#
# With --style STYLE the run draws with --maps-style=STYLE.
#
#   bench/maps_bench.sh [--sizes "150 2500 26000 100000"] [--build DIR] [--stnmap] [--style STYLE]
set -euo pipefail

me=maps_bench.sh
root=$(cd "$(dirname "$0")/.." && pwd)
sizes="150 2500 26000 100000"
build=
stnmap=no
style=auto
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --stnmap) stnmap=yes; shift ;;
    --style) style=$2; shift 2 ;;
    *) echo "usage: $me [--sizes LIST] [--build DIR] [--stnmap] [--style STYLE]" >&2; exit 2 ;;
  esac
done
command -v grads >/dev/null || { echo "$me: GrADS is not installed" >&2; exit 2; }
[ "$stnmap" = no ] || command -v stnmap >/dev/null || { echo "$me: stnmap is not installed" >&2; exit 2; }
if [ -z "$build" ]; then
  build=$root/build
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target drought-export dx-sample dx-explorer-bench >/dev/null
fi
build=$(cd "$build" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/dx-maps-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
jobs=$(nproc)

echo "--maps benchmark: $(nproc) usable cores, $(date -u +%Y-%m-%d), load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$stnmap" = yes ]; then
  echo "| stations | without --maps | with --maps | maps step | GrADS calls alone | step / GrADS | CPU: with --maps, GrADS alone | drawing | explorer: time, data, share | step / step without it | stnmap for the 35 sets (CPU) |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|"
else
  echo "| stations | without --maps | with --maps | maps step | GrADS calls alone | step / GrADS | CPU: with --maps, GrADS alone | drawing | explorer: time, data, share | step / step without it |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
fi
for n in $sizes; do
  dir=$work/$n
  mkdir -p "$dir"
  "$build/dx-sample" --out "$dir" --stations "$n" --seed 1 >/dev/null
  (cd "$dir" && "$build/drought-export" -s SPI_Stn.nc >/dev/null)  # first run: outputs in place
  t0=$(now); (cd "$dir" && "$build/drought-export" -s SPI_Stn.nc >/dev/null); t1=$(now)
  (cd "$dir" && /usr/bin/time -o "$work/cpu1" -f "%U %S" "$build/drought-export" -s SPI_Stn.nc --maps-style="$style" \
     >/dev/null 2>"$work/progress"); t2=$(now)
  plain=$(secs "$t0" "$t1"); whole=$(secs "$t1" "$t2")
  step=$(awk -v a="$plain" -v b="$whole" 'BEGIN { printf "%.1f", b - a }')

  # The same GrADS calls alone, in a folder that looks like the output
  # folder (the scripts draw into maps/ when given no folder).
  mirror=$work/mirror
  rm -rf "$mirror"
  mkdir -p "$mirror/maps"
  for f in "$dir"/*.ctl "$dir"/*.dat "$dir"/*.dat.map; do ln -s "$f" "$mirror/"; done
  # The scripts, and the grid and station data sets they draw beside the
  # outputs.
  cp "$dir"/maps/*.gs "$mirror/maps/"
  for f in "$dir"/maps/*.ctl "$dir"/maps/*.dat "$dir"/maps/*.dat.map; do
    if [ -e "$f" ]; then cp "$f" "$mirror/maps/"; fi
  done
  t3=$(now)
  (cd "$mirror" && /usr/bin/time -o "$work/cpu2" -f "%U %S" bash -c \
     "ls maps/*.gs | xargs -P $jobs -I{} grads -blcx 'run {}' >/dev/null")
  t4=$(now)
  cpu=$(awk '{ printf "%.0f", $1 + $2 }' "$work/cpu1")" s, "$(awk '{ printf "%.0f", $1 + $2 }' "$work/cpu2")" s"
  alone=$(secs "$t3" "$t4")
  ratio=$(awk -v a="$step" -v b="$alone" 'BEGIN { printf "%.2f", a / b }')
  drawing=$(grep -o 'drawn as [^<]*' "$dir/maps/index.html" | head -1 | sed 's/drawn as //; s/\. Every.*//')
  # The explorer alone, and its data beside the other outputs.
  ex=$(cd "$dir" && "$build/bench/dx-explorer-bench" SPI_Stn.nc | tail -1)
  ex_s=$(echo "$ex" | awk '{ print $6 }')
  ex_bytes=$(echo "$ex" | awk '{ print $8 }')
  outputs=$(cd "$dir" && find . -maxdepth 1 -type f ! -name '*.nc' ! -name '*.dat.map' -printf '%s\n' | awk '{ s += $1 } END { print s }')
  explorer=$(awk -v t="$ex_s" -v b="$ex_bytes" -v o="$outputs" \
    'BEGIN { printf "%.2f s, %.1f MB, %.2f", t, b / 1e6, b / o }')
  without=$(awk -v s="$step" -v t="$ex_s" 'BEGIN { printf "%.2f", s / (s - t) }')
  row="| $n | $plain s | $whole s | $step s | $alone s | $ratio | $cpu | $drawing | $explorer | $without |"
  if [ "$stnmap" = yes ]; then
    # stnmap writes its map beside each descriptor: in a folder of its own.
    sm=$work/stnmap
    rm -rf "$sm"; mkdir -p "$sm"
    for f in "$dir"/*.ctl "$dir"/*.dat; do ln -s "$f" "$sm/"; done
    t5=$(now)
    (cd "$sm" && /usr/bin/time -o "$work/cpu3" -f "%U %S" bash -c \
       "ls -- *.ctl | xargs -P $jobs -I{} stnmap -q -i {} >/dev/null")
    t6=$(now)
    row="$row $(secs "$t5" "$t6") s ($(awk '{ printf "%.0f", $1 + $2 }' "$work/cpu3") s) |"
    rm -rf "$sm"
  fi
  echo "$row"
  rm -rf "$dir" "$mirror"
done
