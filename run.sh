#!/usr/bin/env bash
# Sets everything up and starts Pocket Veldra on the built-in demo maps:
# builds the project, installs the demo maps and the help page into
# ./demo-root (once), and opens the viewer on that root.
set -euo pipefail
cd "$(dirname "$0")"
tools/bootstrap.sh
root="$PWD/demo-root"
if [ ! -f "$root/registry.ini" ]; then
  echo "== Making the demo maps in $root"
  build/tools/veldra-pack demo --root "$root"
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
