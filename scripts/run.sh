#!/usr/bin/env bash
# Starts the built program on the user's display. Without a display it runs
# the program for a few seconds on a private desktop, saves a screenshot and
# ends the program the way a session end would (SIGTERM).
set -euo pipefail
build=${1:-build}
if [[ ! -x "$build/quillon" ]]; then
  echo "No program at $build/quillon; build it first (make build)." >&2
  exit 1
fi
build=$(cd "$build" && pwd)
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  exec /usr/bin/python3 "$(dirname "$0")/screenshot.py" --machine "$build" "$build/screenshot.png" \
    "${QUILLON_RUN_SECONDS:-4}"
fi
# The log file name is relative: keep the log in the build folder.
cd "$build"
echo "Log: $build/quillon.log (unless the properties name another file)"
exec ./quillon
