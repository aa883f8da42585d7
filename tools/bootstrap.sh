#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root or with sudo) when it
# is missing, then configures and builds the project into ./build.
# Usage: tools/bootstrap.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev zlib1g-dev nettle-dev
          libdeflate-dev fonts-liberation2 libbenchmark-dev qt6-positioning-dev libqt6positioning6-plugins
          libosmium2-dev libprotozero-dev libpng-dev libbz2-dev libexpat1-dev liblz4-dev osmium-tool
          python-osmnx-doc clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "== Building into ./build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build build
