#!/usr/bin/env bash
# The Windows window under Wine on a virtual display: window_driver.exe starts
# tessaly-updater.exe in a folder holding a Sub image, drives it like an operator and
# updates the simulated projector (tessaly-pjsim on 127.0.0.2) through it. All of it in a
# private network namespace, whose Wine server owns the sockets.
#   window_test.sh WINDOWS_BUILD_DIR PJSIM LINUX_BUILD_DIR ARTIFACT_DIR
# Then the window once more with Wine's display at 144 dpi. Leaves ARTIFACT_DIR/
# updater_window.png, the window after a successful update (and
# updater_window_other_model.png, after the last one), and updater_window_144dpi.png, the
# window started at 144 dpi. Exit status 77 when
# the Windows build, Wine, Xvfb or network namespaces are missing.
set -euo pipefail
winbuild="$1" pjsim="$2" linuxbuild="$3" artifacts="$4"
here="$(cd "$(dirname "$0")" && pwd)"
wine=/usr/bin/wine
wineserver=/usr/lib/wine/wineserver
python=/usr/bin/python3
updater="$winbuild/src/win32/tessaly-updater.exe"
driver="$winbuild/src/win32/tessaly_window_driver.exe"

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

if [ "${TESSALY_IN_NETNS:-}" != 1 ]; then
  [ -f "$updater" ] && [ -f "$driver" ] || skip "no Windows build in $winbuild (scripts/build-windows.sh $winbuild)"
  [ -x "$wine" ] || skip "Wine is not installed (apt-get install wine64)"
  command -v Xvfb >/dev/null || skip "Xvfb is not installed (apt-get install xvfb)"
  [ -x "$pjsim" ] || skip "no simulator at $pjsim"
  unshare --net true 2>/dev/null || skip "a private network namespace cannot be made here (it needs root)"
  status=0
  prefix="$("$here/wine_prefix.sh" "$linuxbuild")" || status=$?
  [ "$status" -eq 0 ] || exit "$status"
  exec unshare --net -- env TESSALY_IN_NETNS=1 WINEPREFIX="$prefix" bash "$0" "$@"
fi

ip link set lo up
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
mkdir -p "$artifacts"
rm -f "$artifacts"/updater_window*.png  # only this run's pictures
work="$(mktemp -d)"
xvfb_pid="" pjsim_pid=""
cleanup() {
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  [ -n "$pjsim_pid" ] && kill "$pjsim_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition every 0.1 s, at most $1 seconds.
wait_until() {
  local seconds="$1"; shift
  local i
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

winpath() { local p="$1"; echo "Z:${p//\//\\}"; }

# A Sub image for the simulator's default model: four whole blocks and a short one, long
# enough to ask the close question while it is being written. Its name is the driver's.
mkdir "$work/folder"
sub="$work/folder/sub_firmware_image_with_a_name_long_enough_to_run_past_the_edge_of_the_log.brec2"
"$python" - "$sub" <<'EOF'
import sys
header = bytearray(32)
header[9] = 0x0A  # the model code byte
payload = bytes((i * 7 + 3) & 0xFF for i in range(4 * 16368 + 555))
open(sys.argv[1], "wb").write(bytes(header) + payload)
EOF

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_until 20 test -s "$work/display" || { cat "$work/xvfb.log"; echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

"$pjsim" --listen 127.0.0.2 --burn-ms 1000 --sub-image "$sub" >"$work/pjsim.log" 2>&1 &
pjsim_pid=$!
wait_until 20 grep -q "listening on 127.0.0.2:20554" "$work/pjsim.log" || {
  cat "$work/pjsim.log"
  exit 1
}

# The server and Wine's helper processes, started here, inherit nothing of the driver's output.
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1 || true

status=0
timeout 300 "$wine" "$driver" --updater "$(winpath "$updater")" --workdir "$(winpath "$work/folder")" \
  --projector 127.0.0.2 --screenshot "$(winpath "$work/window.bmp")" --timeout-ms 90000 \
  </dev/null >"$work/driver.log" 2>&1 || status=$?
tr -d '\r' <"$work/driver.log"

# BMP to PNG, with nothing beyond Python's own library.
to_png() {
  "$python" - "$1" "$2" <<'EOF'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", data, 10)
width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
assert bits == 24
stride = (width * 3 + 3) & ~3
rows = []
for y in range(abs(height)):
    src = height - 1 - y if height > 0 else y  # bottom-up unless the height is negative
    row = data[offset + src * stride: offset + src * stride + width * 3]
    rows.append(b"\0" + bytes(b for i in range(0, len(row), 3) for b in (row[i + 2], row[i + 1], row[i])))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
EOF
  echo "screenshot: $2"
}
# After the first, successful update; and at the end, after an image for another model.
if [ -s "$work/window-success.bmp" ]; then to_png "$work/window-success.bmp" "$artifacts/updater_window.png"; fi
if [ -s "$work/window.bmp" ]; then to_png "$work/window.bmp" "$artifacts/updater_window_other_model.png"; fi
if [ -s "$work/window-144dpi.bmp" ]; then to_png "$work/window-144dpi.bmp" "$artifacts/updater_window_144dpi.png"; fi

# The simulator saw a clean exchange and the whole image.
kill -TERM "$pjsim_pid"
wait "$pjsim_pid" || { echo "simulator exit status $?" >&2; status=1; }
pjsim_pid=""
grep -q "verdict: OK" "$work/pjsim.log" || { cat "$work/pjsim.log"; status=1; }
exit "$status"
