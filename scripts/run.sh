#!/usr/bin/env bash
# Starts the built program on the user's display. Without a display it runs
# the program for a few seconds on a private X server with a tray host, saves
# a screenshot and ends the program the way a session end would (SIGTERM).
set -euo pipefail
build=${1:-build}
if [[ ! -x "$build/quillon" ]]; then
  echo "No program at $build/quillon; build it first (make build)." >&2
  exit 1
fi
build=$(cd "$build" && pwd)
program="$build/quillon"
# The log file name is relative: keep the log in the build folder.
cd "$build"
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Log: $build/quillon.log (unless the properties name another file)"
  exec "$program"
fi

display=${QUILLON_RUN_DISPLAY:-:97}
seconds=${QUILLON_RUN_SECONDS:-4}
screenshot="$build/screenshot.png"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done
export DISPLAY=$display
trayer --edge top --align right --widthtype request --height 24 --transparent false \
  --tint 0x404040 >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

"$program" &
app=$!
sleep "$seconds"
import -window root "$screenshot"
kill -TERM "$app"
status=0
wait "$app" || status=$?
echo "Screenshot: $screenshot (program ended with status $status)"
