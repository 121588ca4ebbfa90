#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one briefly over its corpus.
set -euo pipefail
seconds="${FUZZ_SECONDS:-20}"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DBRISVANE_BUILD_FUZZ=ON -DBRISVANE_BUILD_TESTS=OFF -DBRISVANE_BUILD_BENCH=OFF
cmake --build build-fuzz -j"${JOBS:-2}"
shopt -s nullglob
targets=(build-fuzz/fuzz/fuzz.*)
if [ "${#targets[@]}" -eq 0 ]; then
  echo "no fuzz targets yet"
  exit 0
fi
for target in "${targets[@]}"; do
  name="${target##*/fuzz.}"
  name="${name%_fuzz}"
  corpus="fuzz/corpus/${name}"
  work="$(mktemp -d)"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzzing ${name} for ${seconds}s"
  log="$work.log"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 "$work" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz target ${name} failed"
    exit 1
  fi
  grep -E "stat::number_of_executed_units" "$log" || true
  rm -rf "$work" "$log"
done
