#!/usr/bin/env bash
# Installs what is missing, builds, and starts the window in the current folder, where
# it looks for the firmware files.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target tessaly-updater
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display attached: starting the window on a virtual display (xvfb-run)." >&2
  exec xvfb-run -a "$top/build/src/gui/tessaly-updater" "$@"
fi
exec "$top/build/src/gui/tessaly-updater" "$@"
