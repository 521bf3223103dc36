#!/usr/bin/env bash
# Cross-builds the Windows programs with Debian's MinGW-w64 into BUILD_DIR (default
# build-windows/): tessaly-update.exe, tessaly-updater.exe and the unit tests, each one
# static .exe that needs no DLL beyond those Windows has.
#   scripts/build-windows.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build-windows}"
[ $# -gt 0 ] && shift
case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-windres; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-windows: $tool is missing (Debian: apt-get install g++-mingw-w64-x86-64-posix)" >&2
    exit 1
  fi
done
# The programs' icon is drawn from the SVG at build time.
for tool in rsvg-convert icotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-windows: $tool is missing (Debian: apt-get install librsvg2-bin icoutils)" >&2
    exit 1
  fi
done

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$top" -B "$dir" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$dir" -j "${TESSALY_JOBS:-$(nproc)}"

# Only what every Windows ships may be left to load at run time.
objdump=x86_64-w64-mingw32-objdump
status=0
for exe in "$dir"/*.exe "$dir"/*/*.exe "$dir"/*/*/*.exe; do
  [ -f "$exe" ] || continue
  while read -r dll; do
    case "${dll,,}" in
      kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|advapi32.dll|shell32.dll|ole32.dll|\
      oleaut32.dll|ws2_32.dll|mswsock.dll|iphlpapi.dll|msvcrt.dll|riched20.dll|msftedit.dll|uxtheme.dll|\
      bcrypt.dll|crypt32.dll|ntdll.dll|userenv.dll|rpcrt4.dll|imm32.dll|setupapi.dll|\
      shlwapi.dll|version.dll|winmm.dll|powrprof.dll|api-ms-win-*) ;;
      *) echo "build-windows: $exe needs $dll, which Windows does not ship" >&2; status=1 ;;
    esac
  done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
[ "$status" -eq 0 ] && echo "build-windows: programs in $dir"
exit "$status"
