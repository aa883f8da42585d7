#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the normal build's tests,
# then the widget-free core's tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then each fuzz target for a few seconds.
set -euo pipefail
cd "$(dirname "$0")"
tools/bootstrap.sh
export QT_QPA_PLATFORM=offscreen
echo "== Tests"
ctest --test-dir build --output-on-failure -j2

echo "== Core tests under AddressSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELDRA_SANITIZE=ON \
      -DVELDRA_BUILD_UI=OFF -DVELDRA_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-asan --output-on-failure -j2 -L core

echo "== Fuzz targets, 3 s each"
if command -v clang++ >/dev/null; then
  fuzz/run.sh 3
else
  echo "clang++ is not installed: fuzz targets skipped"
fi
