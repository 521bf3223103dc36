#!/usr/bin/env bash
# The core's unit tests as cross-built for Windows, run under Wine.
#   run_unit_tests.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR [gtest arguments...]
# The Wine prefix is the Linux build's one (wine_prefix.sh). Exit status 77 when the
# Windows build or Wine is missing.
set -euo pipefail
winbuild="$1" linuxbuild="$2"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
wine=/usr/bin/wine
wineserver=/usr/lib/wine/wineserver
tests="$winbuild/tests/tessaly_tests.exe"

if [ ! -f "$tests" ]; then
  echo "SKIPPED: no Windows build in $winbuild (scripts/build-windows.sh $winbuild)" >&2
  exit 77
fi
status=0
prefix="$("$here/wine_prefix.sh" "$linuxbuild")" || status=$?
[ "$status" -eq 0 ] || exit "$status"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
cleanup() { "$wineserver" -k </dev/null >/dev/null 2>&1 || true; }
trap cleanup EXIT
# A server left by a run that was killed is ended first. The new one and Wine's helper
# processes, started here, keep nothing of this script's output open: ctest would wait on
# them for ever.
"$wineserver" -k </dev/null >/dev/null 2>&1 || true
"$wineserver" -w </dev/null >/dev/null 2>&1 || true
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1 || true

# Two tests check Linux's own facts: getifaddrs lists loopback, with the interface's name
# as its description (GetAdaptersInfo lists no loopback); and a symbolic link is skipped
# (Wine cannot make one). directory_win32_test.cpp checks Windows' attributes instead.
linux_only="SystemAdapters.LoopbackIsListedForDryRuns:WorkingFolder.SkipsFoldersAndLinksTakesHiddenFiles"
# The output's CR LF line ends become Linux's.
timeout 900 "$wine" "$tests" --gtest_color=no --gtest_filter="-$linux_only" "$@" </dev/null 2>&1 | tr -d '\r'
exit "${PIPESTATUS[0]}"
