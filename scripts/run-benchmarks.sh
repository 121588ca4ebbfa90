#!/usr/bin/env bash
# Runs every benchmark program of a build folder and prints its figures.
set -euo pipefail
dir="${1:-build-bench}"
shopt -s nullglob
for b in "$dir"/bench/bench.*; do
  [ -x "$b" ] || continue
  echo "== ${b##*/}"
  "$b" --benchmark_repetitions="${BENCH_REPETITIONS:-5}" --benchmark_report_aggregates_only=true
done
