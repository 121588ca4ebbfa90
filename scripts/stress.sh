#!/usr/bin/env bash
# Repeats the unit and stress tests of the sanitizer builds and counts, per test, the runs that
# failed. Usage: scripts/stress.sh [BUILD_DIR...] (default: build-asan build-tsan); STRESS_REPEAT
# sets the number of runs (default 20), STRESS_LABELS the ctest label regex (default unit|stress).
# Exits 1 when any run failed.
set -uo pipefail
repeat="${STRESS_REPEAT:-20}"
labels="${STRESS_LABELS:-unit|stress}"
jobs="${JOBS:-2}"
if ! [[ "$repeat" =~ ^[1-9][0-9]*$ ]]; then
  echo "stress: STRESS_REPEAT must be a positive whole number, not '$repeat'" >&2
  exit 2
fi
[ "$#" -gt 0 ] || set -- build-asan build-tsan
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"

status=0
for build in "$@"; do
  if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "stress: $build is not a configured build folder" >&2
    exit 2
  fi
  wrapper=()
  case "$build" in
    *tsan*) wrapper=("$here/run-tsan.sh")
            export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" ;;
    *asan*) export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
            export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  esac
  declare -A failures=()
  total=0
  for run in $(seq 1 "$repeat"); do
    log="$build/Testing/Temporary/LastTestsFailed.log"
    rm -f "$log"
    "${wrapper[@]}" ctest --test-dir "$build" -L "$labels" -j"$jobs" --no-tests=error \
      --output-on-failure >"$build/stress-run-$run.log" 2>&1
    rc=$?
    if [ "$rc" -ne 0 ] && [ ! -s "$log" ]; then
      echo "stress: ctest failed in $build without naming a test (see $build/stress-run-$run.log)" >&2
      exit 1
    fi
    if [ -s "$log" ]; then
      while IFS=: read -r _ name; do
        failures["$name"]=$(( ${failures["$name"]:-0} + 1 ))
      done <"$log"
      total=$((total + 1))
    else
      rm -f "$build/stress-run-$run.log"
    fi
  done
  echo "== $build: $repeat runs of the '$labels' tests, $total with a failure"
  for name in "${!failures[@]}"; do
    printf '  %3d of %d runs failed: %s\n' "${failures[$name]}" "$repeat" "$name"
  done | sort -rn
  [ "$total" -eq 0 ] || status=1
  unset failures
done
exit "$status"
