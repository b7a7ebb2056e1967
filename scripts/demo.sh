#!/usr/bin/env bash
# The demo: builds drought-export, generates a sample station network into the
# scratch folder demo/ (git-ignored), runs drought-export there with the
# sample station-coordinate file (--station-file), and lists what it wrote.
# With GrADS installed it also builds the station map of one data set and
# renders a PNG map of one statistic into demo/.
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

step "set-up (installs missing Debian packages)"
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

step "drought-export in demo/ (console output in demo/drought-export.log)"
cd "$demo"
status=0
"$root/build/drought-export" --station-file SPI_Stn.nc >drought-export.log || status=$?
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

if command -v grads >/dev/null && command -v stnmap >/dev/null; then
  step "GrADS: station map of Fre_all and a map of one statistic"
  stnmap -q -i Fre_all.ctl >stnmap.log
  # Time step 1 of Fre_all is the first class column: pdsi, moderate drought.
  cat >map.gs <<'EOF'
* Drought frequency of one index and class at every station, coloured by
* class of value, with a legend.
'open Fre_all.ctl'
'set display color white'
'c'
'set parea 1.0 6.6 1.0 10.2'
'set mpdset hires'
'set lon 101.5 110.5'
'set lat 7.5 24.5'
'set t 1'
'set grads off'
'set xlopts 1 3 0.13'
'set ylopts 1 3 0.13'
'set map 15 1 4'
* A yellow-to-dark-red ramp for eight classes of drought frequency.
'set rgb 20 255 255 178'
'set rgb 21 254 225 118'
'set rgb 22 254 190 80'
'set rgb 23 253 141 60'
'set rgb 24 244 90 40'
'set rgb 25 222 45 38'
'set rgb 26 180 10 38'
'set rgb 27 110 0 30'
levs = '5 10 15 20 25 30 35'
'set clevs 'levs
'set ccols 20 21 22 23 24 25 26 27'
'set gxout stnmark'
'set cmark 3'
'set digsiz 0.19'
'd fre_all'
'draw title Drought frequency (%): pdsi, moderate class\whole series, sample station network'
* Legend: one box per class of value.
x1 = 6.95; x2 = 7.3; y = 3.0; h = 0.5; n = 1
while (n <= 8)
  'set line 'n+19
  'draw recf 'x1' 'y' 'x2' 'y+h
  'set line 1 1 3'
  'draw rec 'x1' 'y' 'x2' 'y+h
  if (n < 8)
    'set string 1 l 3'
    'set strsiz 0.12'
    'draw string 'x2+0.08' 'y+h' 'subwrd(levs, n)
  endif
  y = y + h; n = n + 1
endwhile
'draw string 'x1-0.05' 'y+0.25' %'
'printim demo_map.png x850 y1100 white'
'quit'
EOF
  grads -blpc "run map.gs" >grads.log 2>&1
  if [ -s demo_map.png ]; then
    echo "map: demo/demo_map.png ($(stat -c %s demo_map.png) bytes)"
  else
    echo "demo: GrADS wrote no map; see demo/grads.log" >&2
    exit 1
  fi
else
  step "GrADS not installed: no map (Debian package grads)"
fi

elapsed=$((($(date +%s%N) - start) / 1000000))
printf '\ndemo done in %d.%03d s; outputs in demo/\n' $((elapsed / 1000)) $((elapsed % 1000))
