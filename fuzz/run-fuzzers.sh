#!/usr/bin/env bash
# Builds the libFuzzer targets when needed and runs each for SECONDS on a copy of its seed corpus.
# Usage: fuzz/run-fuzzers.sh SECONDS [BUILD_DIR]. Exits non-zero when any target finds a fault.
set -euo pipefail

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -eq 0 ]; then
  echo "usage: $0 SECONDS [BUILD_DIR]" >&2
  exit 2
fi
seconds=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}

# A build directory made with another compiler cannot host the fuzz targets.
if [ -f "$build/CMakeCache.txt" ]; then
  compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
  if [[ $(basename "$compiler") != clang++* ]]; then
    echo "$build was configured with $compiler; the fuzz targets need clang++" >&2
    exit 2
  fi
  cmake -S "$root" -B "$build" -DQUILVANE_FUZZ=ON >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DQUILVANE_FUZZ=ON >/dev/null
fi

targets=()
for source in "$root"/fuzz/*_fuzz.cpp; do
  [ -e "$source" ] || continue
  targets+=("$(basename "$source" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi
cmake --build "$build" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
  corpus="$work/$target/corpus"
  artifacts="$work/$target/artifacts"
  mkdir -p "$corpus" "$artifacts"
  for seeds in "$root/fuzz/corpus/$target" "$root/fuzz/corpus/${target%_fuzz}"; do
    if [ -d "$seeds" ]; then
      cp -R "$seeds"/. "$corpus"/
      break
    fi
  done
  log="$work/$target/log"
  status=0
  "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  printf '%-28s %12s executions  %s\n' "$target" "${runs:-?}" \
    "$([ "$status" -eq 0 ] && echo ok || echo "FAILED (exit $status)")"
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
    failed+=("$target")
    tail -n 60 "$log" >&2
    for artifact in "$artifacts"/*; do
      [ -e "$artifact" ] || continue
      echo "--- $target finding: $(basename "$artifact") ($(wc -c <"$artifact") bytes)" >&2
      od -A d -t x1 "$artifact" | head -n 20 >&2
    done
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz findings in: ${failed[*]}" >&2
  exit 1
fi
