#!/usr/bin/env bash
# Sets everything up and starts Pocket Veldra on the built-in demo maps:
# builds the project, installs the demo maps, a map of a real place made
# from OpenStreetMap data and the help page into ./demo-root (once), and
# opens the viewer on that root.
set -euo pipefail
cd "$(dirname "$0")"
tools/bootstrap.sh
root="$PWD/demo-root"
if [ ! -f "$root/registry.ini" ]; then
  echo "== Making the demo maps in $root"
  build/tools/veldra-pack demo --root "$root"
fi
# Made again when an earlier run made it without its geo-reference.
if [ ! -f "$root/Veldra/Maps/West Oakland/Map.geo" ]; then
  echo "== Making a map of a real place, West Oakland, from OpenStreetMap data"
  build/tools/veldra-pack osm --root "$root" --title "West Oakland" --replace \
    --input tests/tools/data/West-Oakland.osm.bz2 --bbox=-122.3143,37.8040,-122.2908,37.8176
fi
mkdir -p "$root/Veldra/HTML"
cp -r res/html/. "$root/Veldra/HTML/"
echo "== Demo maps are in $root/Veldra/Maps"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are not set), so the viewer cannot open a window."
  echo "On a desktop, run: build/app/VeldraViewer --root \"$root\""
  exit 0
fi
exec build/app/VeldraViewer --root "$root"
