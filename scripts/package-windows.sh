#!/usr/bin/env bash
# Makes the Windows installer and zip from the cross build in BUILD_DIR (default
# build-windows/), building what is missing first (scripts/build-windows.sh):
#   BUILD_DIR/tessaly-updater-VERSION-x64.msi   (wixl, Debian's package wixl)
#   BUILD_DIR/tessaly-updater-VERSION-x64.zip   both programs and README.txt
#   scripts/package-windows.sh [BUILD_DIR]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build-windows}"
case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac

for tool in wixl zip; do
  if ! command -v "$tool" >/dev/null; then
    echo "package-windows: $tool is missing (Debian: apt-get install $tool)" >&2
    exit 1
  fi
done
window="$dir/src/win32/tessaly-updater.exe"
cli="$dir/src/cli/tessaly-update.exe"
if [ ! -f "$window" ] || [ ! -f "$cli" ]; then
  "$top/scripts/build-windows.sh" "$dir"
fi

version="$(sed -n 's/^project(TessalyUpdater VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")"
[ -n "$version" ] || { echo "package-windows: no version in CMakeLists.txt" >&2; exit 1; }
name="tessaly-updater-$version-x64"
work="$dir/package-windows"
rm -rf "$work"
mkdir -p "$work/zip"

# The installer.
# wixl takes the files' paths relative to the folder it runs in.
sed -e "s|@VERSION@|$version|g" -e "s|@WINDOW_EXE@|src/win32/tessaly-updater.exe|g" \
  -e "s|@CLI_EXE@|src/cli/tessaly-update.exe|g" \
  "$top/packaging/windows/tessaly-updater.wxs.in" >"$work/tessaly-updater.wxs"
rm -f "$dir/$name.msi"
(cd "$dir" && wixl -a x64 -o "$dir/$name.msi" "$work/tessaly-updater.wxs")

# The zip: the programs and a short README with Windows' line ends.
cp "$window" "$cli" "$work/zip/"
sed -e "s|@VERSION@|$version|g" -e 's/$/\r/' "$top/packaging/windows/README.txt" >"$work/zip/README.txt"
rm -f "$dir/$name.zip"
(cd "$work/zip" && zip -q -X "$dir/$name.zip" tessaly-updater.exe tessaly-update.exe README.txt)

echo "package-windows: $dir/$name.msi"
echo "package-windows: $dir/$name.zip"
