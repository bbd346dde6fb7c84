#!/usr/bin/env bash
# Renders docs/screenshot.png: the built program with live rows and its tray
# menu open, on a private X server, with sockets of its own.
set -euo pipefail
build=$(realpath "${1:-build}")
output=$(realpath -m "${2:-docs/screenshot.png}")
mkdir -p "$(dirname "$output")"
# The namespace gets a private /tmp, so the picture is staged in the build folder.
staging="$build/screenshot-staging"
mkdir -p "$staging"
QUILLON_BUILD_DIR="$build" unshare --net --mount --propagation private -- \
  python3 "$(dirname "$0")/screenshot.py" "$staging/screenshot.png"
cp "$staging/screenshot.png" "$output"
echo "Screenshot written to $output"
