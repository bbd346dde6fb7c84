#!/usr/bin/env bash
# Runs every benchmark that the build produced, then the idle cost of the
# running program.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
ran=0
for bench in "$build"/bench/bench_*; do
  [[ -f "$bench" && -x "$bench" ]] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_min_time=0.2
  ran=1
done
((ran)) || echo "No benchmarks built yet."
if [[ -x "$build/quillon" ]]; then
  echo "== bench_idle"
  "$(dirname "$0")/bench_idle.sh" "$build"
fi
