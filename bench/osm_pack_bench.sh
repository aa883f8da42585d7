#!/usr/bin/env bash
# Measures veldra-pack (wall time and peak memory): `osm` on a generated grid
# town of about a million nodes, as XML and as PBF, against the time
# `osmium cat` takes to read the same file, and on the real extracts of the
# tests; `make` of generated pictures of 2,400 and 300 tiles. The town and the
# 2,400-tile picture are also made pinned to one core (taskset -c 0) and the
# speed-up of every core over one is printed, as is make's time per tile at
# 2,400 tiles against 300. The generated files live in a temporary folder and
# are removed.
# Usage: bench/osm_pack_bench.sh [NODES]   (after a build into ./build)
set -euo pipefail
cd "$(dirname "$0")/.."
nodes="${1:-1000000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
pack=build/tools/veldra-pack
echo "== $(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 bench/make_osm_town.py "$work/town.osm" "$nodes"
osmium cat --no-progress "$work/town.osm" -o "$work/town.osm.pbf"
python3 bench/make_picture.py "$work/big.png" 30000 20000
python3 bench/make_picture.py "$work/small.png" 10000 7500
ls -l "$work/town.osm" "$work/town.osm.pbf" "$work/big.png" "$work/small.png" |
  awk '{print $5, $9}'

seconds=0 kb=0
timed() { # the command; sets seconds and kb (peak resident memory)
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$work/out"
  read -r seconds kb < "$work/time"
}
show() { # label, then what else to print
  local label="$1"; shift
  printf '%-44s %8.2f s %8.1f MB peak   %s\n' "$label" "$seconds" "$((kb))e-3" "$*"
}
osm() { # label, then the osm arguments
  local label="$1"; shift
  rm -rf "$work/root"
  timed "$pack" osm --root "$work/root" --title Bench "$@"
  show "$label" "$(grep -o '[0-9]* x [0-9]* pixels, [0-9]* tiles' "$work/out")"
}
make_map() { # label, picture, then a command prefix
  local label="$1" picture="$2"; shift 2
  rm -rf "$work/root"
  timed "$@" "$pack" make --root "$work/root" --title Bench --picture "$picture"
  show "$label" "$(grep -o '[0-9]* tiles' "$work/out")"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

timed osmium cat --no-progress -O -f opl -o /dev/null "$work/town.osm"
cat_seconds=$seconds
show "osmium cat of the generated town, XML"
osm "generated town, XML" --input "$work/town.osm"
town=$seconds
rm -rf "$work/root"
timed taskset -c 0 "$pack" osm --root "$work/root" --title Bench --input "$work/town.osm"
show "generated town, XML, taskset -c 0"
town_one=$seconds
osm "generated town, PBF" --input "$work/town.osm.pbf"
data=tests/tools/data
osm "Kirchberg (kirchberg.osm)" --input "$data/kirchberg.osm"
osm "West Oakland, data area" --input "$data/West-Oakland.osm.bz2" \
  --bbox=-122.3143,37.8040,-122.2908,37.8176
osm "Karlsruhe (karlsruhe.osm.bz2)" --input "$data/karlsruhe.osm.bz2"
osm "Karlsruhe at 5 m a pixel" --input "$data/karlsruhe.osm.bz2" --metres-per-pixel 5

make_map "make, 30000 x 20000 picture" "$work/big.png"
big=$seconds
make_map "make, 30000 x 20000 picture, taskset -c 0" "$work/big.png" taskset -c 0
big_one=$seconds
make_map "make, 10000 x 7500 picture" "$work/small.png"
small=$seconds

echo "== every core against one (taskset -c 0): town $(ratio "$town_one" "$town") x," \
  "make of 2,400 tiles $(ratio "$big_one" "$big") x"
echo "== make's time per tile: $(ratio "$big" 2.4) ms at 2,400 tiles," \
  "$(ratio "$small" 0.3) ms at 300 (ratio $(ratio "$big" "$(ratio "$small" 0.125)"))"
echo "== the town, XML: $(ratio "$town" "$cat_seconds") x the time osmium cat takes to read it" \
  "(${town} s vs ${cat_seconds} s)"
echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
