#!/usr/bin/env bash
# Reads the resources of both Windows programs, as Explorer and the loader would: the
# manifest (per-monitor DPI, themed controls, no elevation, Windows 10/11), the version
# resource (the program's own version, as --version prints it) and the icon's sizes.
#   resources_test.sh WINDOWS_BUILD_DIR VERSION
# Exit status 77 when the Windows build or icoutils are missing.
set -euo pipefail
winbuild="$1" version="$2"
python=/usr/bin/python3

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}
command -v wrestool >/dev/null && command -v icotool >/dev/null || skip "icoutils is not installed"
programs=("$winbuild/src/win32/tessaly-updater.exe" "$winbuild/src/cli/tessaly-update.exe")
for exe in "${programs[@]}"; do
  [ -f "$exe" ] || skip "no Windows build in $winbuild (scripts/build-windows.sh $winbuild)"
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # what, then a command that holds
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

for exe in "${programs[@]}"; do
  name="$(basename "$exe")"
  echo "== $name"
  # RT_MANIFEST (24), id 1: the one the loader reads for a program.
  wrestool -x --raw -t 24 -n 1 "$exe" >"$work/manifest.xml" 2>/dev/null || true
  manifest="$(tr -d '\r' <"$work/manifest.xml")"
  has() { grep -qF -- "$1" <<<"$manifest"; }
  check "$name: a manifest" test -n "$manifest"
  check "$name: dpiAwareness PerMonitorV2" has '>PerMonitorV2, PerMonitor</dpiAwareness>'
  check "$name: dpiAware true/pm for older Windows" has '>true/pm</dpiAware>'
  check "$name: Common-Controls 6.0" has 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'
  check "$name: asInvoker" has 'requestedExecutionLevel level="asInvoker"'
  check "$name: supportedOS Windows 10/11" has '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'

  # RT_VERSION (16): the fixed part's numbers and the strings Explorer shows.
  wrestool -x --raw -t 16 "$exe" >"$work/version.bin" 2>/dev/null || true
  check "$name: version resource $version, named $name" "$python" - "$work/version.bin" "$version" "$name" <<'PY'
import re, struct, sys
data = open(sys.argv[1], "rb").read()
version, name = sys.argv[2], sys.argv[3]
at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
if at < 0:
    sys.exit("no VS_FIXEDFILEINFO")
ms, ls = struct.unpack_from("<II", data, at + 8)
fixed = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
want = version + ".0" * (4 - len(version.split(".")))
if fixed != want:
    sys.exit(f"FILEVERSION {fixed}, want {want}")
text = data.decode("utf-16-le", errors="replace")
def value(key):  # a String: its key, NULs to the next 32-bit boundary, the value
    m = re.search(key + "\0+([^\0]*)\0", text)
    return m.group(1) if m else None
wanted = {"ProductName": "Updater for Tessaly", "FileVersion": version, "ProductVersion": version,
          "OriginalFilename": name}
for key, want in wanted.items():
    if value(key) != want:
        sys.exit(f"{key} {value(key)!r}, want {want!r}")
if not value("FileDescription"):
    sys.exit("no FileDescription")
print(f"  {name}: {fixed}, {value('FileDescription')!r}")
PY

  # RT_GROUP_ICON (14): wrestool rebuilds it as an .ico file.
  wrestool -x -t 14 "$exe" >"$work/icon.ico" 2>/dev/null || true
  sizes="$(icotool -l "$work/icon.ico" 2>/dev/null | sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\).*/\1x\2/p' | sort -n | tr '\n' ' ')"
  check "$name: icon of 16, 32, 48 and 256 px ($sizes)" test "$sizes" = "16x16 32x32 48x48 256x256 "
done

if [ "$failures" -ne 0 ]; then
  echo "FAIL: $failures failed"
  exit 1
fi
echo "PASS"
