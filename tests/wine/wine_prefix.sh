#!/usr/bin/env bash
# Makes the tests' Wine prefix, BUILD_DIR/wineprefix, once, and prints its path.
#   wine_prefix.sh BUILD_DIR
# Tests that use it hold the CTest resource lock "wine_prefix" and end with `wineserver -k`.
# Exit status 77 when Wine is missing.
set -euo pipefail
build="${1:?usage: wine_prefix.sh BUILD_DIR}"
wine=/usr/bin/wine
wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  echo "SKIPPED: Wine is not installed (apt-get install wine64)" >&2
  exit 77
fi
prefix="$(cd "$build" && pwd)/wineprefix"
if [ ! -f "$prefix/.tessaly-ready" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  # Wine's helper processes inherit the first program's output: a test's pipe would never
  # close. The first boot's output goes nowhere; no desktop integration, no Mono or Gecko.
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=" \
    "$wine" wineboot --init </dev/null >/dev/null 2>&1
  WINEPREFIX="$prefix" "$wineserver" -w </dev/null >/dev/null 2>&1 || true
  touch "$prefix/.tessaly-ready"
fi
echo "$prefix"
