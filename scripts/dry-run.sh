#!/usr/bin/env bash
# A dry run: makes a Main and a Sub image, starts the projector simulator and updates both
# firmwares against it — in the window when a display is attached, on the command line
# otherwise. Everything happens in a private network namespace on the loopback link, so
# the fixed UDP ports are free and no broadcast leaves this PC; making one needs root,
# so without root the script asks sudo.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"

if [ "${TESSALY_DRY_RUN_INSIDE:-}" != 1 ]; then
  "$top/scripts/install-deps.sh"
  cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$top/build" --target tessaly-updater tessaly-update tessaly-pjsim
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then as_root=(sudo --preserve-env=DISPLAY,XAUTHORITY,HOME); fi
  exec "${as_root[@]}" env TESSALY_DRY_RUN_INSIDE=1 unshare --net -- "$0" "$@"
fi

ip link set lo up
work="$(mktemp -d /tmp/tessaly-dry-run.XXXXXX)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The images: any bytes will do for the simulator; the Sub image names the QMA model.
head -c 200000 /dev/urandom > "$work/dry-run-main.bin"
{ head -c 9 /dev/zero; printf '\x0a'; head -c 22 /dev/zero; head -c 40000 /dev/urandom; } > "$work/dry-run-sub.brec2"

# The projector on 127.0.0.2, the PC on 127.0.0.1, both on the loopback link.
"$top/build/tools/pjsim/tessaly-pjsim" --listen 127.0.0.2 --model QMA --broadcast-bind 255.255.255.255 \
  --image "$work/dry-run-main.bin" --sub-image "$work/dry-run-sub.brec2" --burn-ms 3000 \
  > "$work/simulator.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 50); do grep -q "listening on" "$work/simulator.log" 2>/dev/null && break; sleep 0.1; done

cat <<MSG
== Dry run
A simulated projector (model QMA) listens on 127.0.0.2. The update sends:
  Main firmware  dry-run-main.bin   (200000 bytes) by the boot loader's BOOTP and TFTP
  Sub firmware   dry-run-sub.brec2  (40000 bytes of payload) over the control connection
You will see: the connection and the switch into download mode, "Startup Main firmware
update process...", the bar to 50%, "Updated Main Firmware has succeeded.", a 7-second
wait while the projector restarts, the model check, the Sub stream to 100% with
"Burning...... Please waiting.....", and "Updated Sub Firmware has succeeded."
MSG

mkdir -p "$work/config/tessaly"
printf '[LAN Communication]\nIP Address=127.0.0.2\n' > "$work/config/tessaly/updater.ini"
status=0
cd "$work"
if [ -n "${DISPLAY:-}" ]; then
  echo "The window opens with the projector address 127.0.0.2: press \"Update Firmware\", and close the window when done."
  XDG_CONFIG_HOME="$work/config" "$top/build/src/gui/tessaly-updater" 2>/dev/null || status=$?
else
  XDG_CONFIG_HOME="$work/config" "$top/build/src/cli/tessaly-update" --projector 127.0.0.2 || status=$?
fi

kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "== What the simulated projector saw"
grep -E "^(verdict|main image|sub image|boot loader: closed|sub receiver: closed)" "$work/simulator.log" || tail -5 "$work/simulator.log"
exit "$status"
