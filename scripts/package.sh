#!/usr/bin/env bash
# Makes the Debian package of the three programs with CPack from a Linux build folder:
#   scripts/package.sh [BUILD_DIR]        (default build/)
# A folder that does not exist yet is configured and built first; an existing one is
# packaged from what it holds (its packaged programs are brought up to date, which costs
# nothing when they are). The package lands in BUILD_DIR/package/ and is checked with
# lintian when lintian is installed.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build}"
targets=(tessaly-updater tessaly-update tessaly-pjsim tessaly_package_docs)

die() { echo "package.sh: $*" >&2; exit 1; }

if [ ! -f "$dir/CMakeCache.txt" ]; then
  "$top/scripts/install-deps.sh"
  cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cache() { sed -n "s/^$1:[A-Z]*=//p" "$dir/CMakeCache.txt"; }
# Sanitizer and fuzz builds need their runtimes and options; cross builds are for Windows.
[ -z "$(cache TESSALY_SANITIZE)" ] || die "$dir is a sanitizer build; package a plain one"
[ "$(cache TESSALY_FUZZ)" != ON ] || die "$dir is a fuzz build; package a plain one"
[ -z "$(cache CMAKE_TOOLCHAIN_FILE)" ] || die "$dir is a cross build; the Debian package is made from a Linux one"
[ "$(cache TESSALY_BUILD_GUI)" != OFF ] || die "$dir is built without the window; the package holds it"
# A folder configured before the package rules existed has no CPack configuration yet.
if [ ! -f "$dir/CPackConfig.cmake" ]; then
  cmake -S "$top" -B "$dir" >/dev/null
fi
command -v dpkg-shlibdeps >/dev/null || die "dpkg-shlibdeps is missing (Debian package dpkg-dev); it finds the libraries the package depends on"
cmake --build "$dir" --target "${targets[@]}"

out="$dir/package"
rm -rf "$out"
cpack --config "$dir/CPackConfig.cmake" -B "$out" >/dev/null
deb=("$out"/*.deb)
[ -f "${deb[0]}" ] || die "cpack made no package in $out"
rm -rf "$out/_CPack_Packages"

if command -v lintian >/dev/null; then
  # Errors fail; warnings are shown.
  status=0
  report="$(lintian --fail-on error "${deb[0]}" 2>&1)" || status=$?
  grep -v 'running with root privileges' <<<"$report" >&2 || true
  [ "$status" = 0 ] || die "lintian found errors in ${deb[0]}"
else
  echo "package.sh: lintian is not installed; the package was not checked" >&2
fi
echo "${deb[0]}"
