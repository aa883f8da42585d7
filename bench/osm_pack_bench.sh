#!/usr/bin/env bash
# Measures `veldra-pack osm` (wall time and peak memory) on a generated grid
# town of about a million nodes, as XML and as PBF, and on the real extracts
# of the tests. The generated files live in a temporary folder and are removed.
# Usage: bench/osm_pack_bench.sh [NODES]   (after a build into ./build)
set -euo pipefail
cd "$(dirname "$0")/.."
nodes="${1:-1000000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
pack=build/tools/veldra-pack
echo "== $(nproc) cores"
python3 bench/make_osm_town.py "$work/town.osm" "$nodes"
osmium cat --no-progress "$work/town.osm" -o "$work/town.osm.pbf"
ls -l "$work/town.osm" "$work/town.osm.pbf" | awk '{print $5, $9}'

measure() { # title, then the osm arguments
  local title="$1"; shift
  rm -rf "$work/root"
  /usr/bin/time -f "%e %M" -o "$work/time" \
    "$pack" osm --root "$work/root" --title "$title" "$@" > "$work/out"
  read -r seconds kb < "$work/time"
  printf '%-40s %8.1f s %8.1f MB peak   %s\n' "$title" "$seconds" "$((kb))e-3" \
    "$(grep -o '[0-9]* x [0-9]* pixels' "$work/out")"
}
measure "generated town, XML" --input "$work/town.osm"
measure "generated town, PBF" --input "$work/town.osm.pbf"
data=tests/tools/data
measure "Kirchberg (kirchberg.osm)" --input "$data/kirchberg.osm"
measure "West Oakland, data area" --input "$data/West-Oakland.osm.bz2" \
  --bbox=-122.3143,37.8040,-122.2908,37.8176
measure "Karlsruhe (karlsruhe.osm.bz2)" --input "$data/karlsruhe.osm.bz2"
measure "Karlsruhe at 5 m a pixel" --input "$data/karlsruhe.osm.bz2" --metres-per-pixel 5
