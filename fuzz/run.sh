#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into ./build-fuzz, seeds each from the demo maps
# and runs each for SECONDS (default 3). New inputs that reach new code are
# kept in build-fuzz/corpus/<target>, so longer runs build on earlier ones; an
# input that fails is written to build-fuzz/crashes/ and the script fails.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3}
shift || true
all=(fuzz_compressed_tile fuzz_encrypted_tile fuzz_calibration fuzz_index_search
     fuzz_side_index fuzz_place_file fuzz_registry_file fuzz_device_paths fuzz_geo_reference
     fuzz_gpx fuzz_osm_extract fuzz_png_bands)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed"; exit 1; }

export QT_QPA_PLATFORM=offscreen
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELDRA_FUZZ=ON >/dev/null
cmake --build build-fuzz

# The demo maps, made once by the packaging tool of the normal build.
demo=build-fuzz/demo-root
if [ ! -f "$demo/registry.ini" ]; then
  [ -x build/tools/veldra-pack ] || cmake --build build --target veldra-pack
  build/tools/veldra-pack demo --root "$demo" >/dev/null
fi

mkdir -p build-fuzz/crashes
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1
for t in "${targets[@]}"; do
  seeds=build-fuzz/seeds/$t
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  if [ ! -d "$seeds" ]; then
    VELDRA_FUZZ_SEEDS_FROM=$demo VELDRA_FUZZ_SEEDS_TO=$seeds "build-fuzz/fuzz/$t" 2>/dev/null
  fi
  log=build-fuzz/$t.log
  if "build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix=build-fuzz/crashes/"$t"- \
        "$corpus" "$seeds" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$t: clean, $runs inputs in ${seconds} s ($speed a second), corpus $(ls "$corpus" | wc -l)"
  else
    tail -40 "$log"
    echo "$t: FAILED (log: $log)"
    exit 1
  fi
done
