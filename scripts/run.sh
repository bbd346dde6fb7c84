#!/usr/bin/env bash
# Starts the built program on the user's display.
set -euo pipefail
build=${1:-build}
if [[ ! -x "$build/quillon" ]]; then
  echo "Built the libraries in $build/; the program itself is not there yet."
  exit 0
fi
exec "$build/quillon"
