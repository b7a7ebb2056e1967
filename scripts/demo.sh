#!/usr/bin/env bash
# The demo: installs what the tool, its build and --maps need (not the test
# tools: scripts/test.sh adds those), builds drought-export, generates a
# sample station network into the scratch folder demo/ (git-ignored), runs
# drought-export there with the sample station-coordinate file
# (--station-file) and --maps, lists what it wrote, and points at the page
# of maps that GrADS drew (demo/maps/index.html).
#
#   scripts/demo.sh [--stations N] [--seed S]
set -euo pipefail

stations=150
seed=1
while [ $# -gt 0 ]; do
  case "$1" in
    --stations) stations=${2:?--stations needs a value}; shift 2 ;;
    --seed) seed=${2:?--seed needs a value}; shift 2 ;;
    *) echo "usage: scripts/demo.sh [--stations N] [--seed S]" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$(date +%s%N)
step() { printf '\n== %s\n' "$*"; }

step "set-up (installs the Debian packages the build and --maps need, if missing)"
./scripts/setup.sh

step "build (Release, build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target drought-export dx-sample

step "sample data: $stations stations, seed $seed, into demo/"
demo=$root/demo
# demo/ is the demo's own scratch folder: start it afresh every time.
rm -rf -- "$demo"
mkdir -p -- "$demo"
build/dx-sample --out "$demo" --stations "$stations" --seed "$seed"

step "drought-export --maps in demo/ (console output in demo/drought-export.log)"
cd "$demo"
status=0
"$root/build/drought-export" --station-file SPI_Stn.nc --maps >drought-export.log || status=$?
head -n 4 drought-export.log
echo "   ..."
tail -n 3 drought-export.log
if [ "$status" -ne 0 ]; then
  echo "demo: drought-export failed with status $status" >&2
  exit "$status"
fi

step "files written by drought-export (bytes, name)"
# demo/ is fresh, so every table and data set in it is drought-export's.
mapfile -t written < <(find . -maxdepth 1 -type f \( -name '*.txt' -o -name '*.dat' -o -name '*.ctl' \) \
  -printf '%f\n' | sort)
for f in "${written[@]}"; do printf '%9d  %s\n' "$(stat -c %s -- "$f")" "$f"; done | pr -3 -t -w 120
echo "${#written[@]} files: $(ls -- *.txt | wc -l) text tables, $(ls -- *.ctl | wc -l) GrADS station data sets"
echo
echo "First lines of Sensl.txt:"
head -n 5 Sensl.txt

step "maps drawn by GrADS"
echo "$(ls -- *.dat.map | wc -l) station maps (NAME.dat.map), $(ls maps/*.png | wc -l) pictures in demo/maps/"
echo "open demo/maps/index.html in a browser, e.g. file://$demo/maps/index.html"

elapsed=$((($(date +%s%N) - start) / 1000000))
printf '\ndemo done in %d.%03d s; outputs in demo/\n' $((elapsed / 1000)) $((elapsed % 1000))
