#!/usr/bin/env bash
# Runs every benchmark and the idle measurement of the running program, and
# prints them in one table against their baselines.
set -euo pipefail
build=${1:-build}
exec python3 "$(dirname "$0")/bench_table.py" "$build"
