#!/usr/bin/env bash
# Runs one Windows program under Wine, as a Linux program would run: its output on ours,
# each line as it comes with Linux's line ends, and its exit status as ours.
#   wine_run.sh LINUX_BUILD_DIR PROGRAM.exe [arguments...]
# The prefix is the Linux build's (wine_prefix.sh). Wine's server is started here, so that
# its sockets are made in this network namespace, and stopped again at the end: callers
# hold the CTest resource lock "wine_prefix".
set -uo pipefail
build="$1" exe="$2"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
wine=/usr/bin/wine
wineserver=/usr/lib/wine/wineserver

prefix="$("$here/wine_prefix.sh" "$build")" || exit $?
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# A server left by a run that was killed may live in another namespace: ended first. The
# new one and Wine's helper processes keep nothing of our output open; the caller's pipe
# would never close otherwise.
"$wineserver" -k </dev/null >/dev/null 2>&1
"$wineserver" -w </dev/null >/dev/null 2>&1
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1
"$wine" "$exe" "$@" </dev/null 2>&1 | sed -u 's/\r$//'
status="${PIPESTATUS[0]}"
"$wineserver" -k </dev/null >/dev/null 2>&1
"$wineserver" -w </dev/null >/dev/null 2>&1
exit "$status"
