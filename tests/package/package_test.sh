#!/usr/bin/env bash
# The Debian package as a technician gets it: made with CPack from the build folder under
# test, checked by lintian, installed with dpkg. Then, as the unprivileged user nobody,
# the installed command line binds the boot loader's ports 67 and 69 by the capability
# the package gives it, and serves a Main image across a veth pair to the installed
# simulator's boot loader in namespaces of this run's own; last, dpkg -r takes every file
# away again. Needs root; the package is never left installed.
#   package_test.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)"
package=tessaly-updater

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: installing a package and making network namespaces need root; CI runs this test"
  exit 77
fi
if ! unshare --net true 2>/dev/null; then
  echo "SKIPPED: a private network namespace cannot be made here; CI runs this test"
  exit 77
fi
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
  echo "SKIPPED: $package is installed on this machine and this test installs and removes it;" \
    "remove it (dpkg -r $package) to run the test"
  exit 77
fi

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
for tool in cpack lintian dpkg dpkg-deb dpkg-shlibdeps getcap setpriv ip timeout readelf; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done

work="$(mktemp -d /tmp/tessaly-package-test.XXXXXX)"
# Names unique to this run: parallel runs and other tests never meet them.
ns_pc="tessaly-pkg-$$-pc"
ns_pj="tessaly-pkg-$$-pj"
installed=0
sim_pid=""
cleanup() {
  local status=$?
  if [ -n "$sim_pid" ]; then
    kill -KILL "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  ip netns del "$ns_pc" 2>/dev/null || true
  ip netns del "$ns_pj" 2>/dev/null || true
  if [ "$installed" = 1 ]; then dpkg --purge "$package" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Waits, at most $1 seconds, until the simulator's log holds the fixed string $2.
wait_for_sim_line() {
  local deadline=$((SECONDS + $1))
  while ! grep -qF -- "$2" "$work/sim.log"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    kill -0 "$sim_pid" 2>/dev/null || return 1
    sleep 0.05
  done
}
show_sim_log() { echo "--- simulator:"; cat "$work/sim.log"; }

echo "== package"
timeout 120 cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/*.deb)
if [ "${#debs[@]}" != 1 ] || [ ! -f "${debs[0]}" ]; then fail "cpack did not make exactly one package: ${debs[*]}"; fi
deb="${debs[0]}"
basename "$deb"

# Exactly these files: an install rule that ships a test or benchmark program shows here.
expected="./usr/bin/tessaly-pjsim
./usr/bin/tessaly-update
./usr/bin/tessaly-updater
./usr/share/applications/tessaly-updater.desktop
./usr/share/doc/tessaly-updater/changelog.Debian.gz
./usr/share/doc/tessaly-updater/copyright
./usr/share/icons/hicolor/scalable/apps/tessaly-updater.svg
./usr/share/man/man1/tessaly-pjsim.1.gz
./usr/share/man/man1/tessaly-update.1.gz"
files="$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)"
[ "$files" = "$expected" ] || fail "the package holds other files than expected:
$(diff <(echo "$expected") <(echo "$files") || true)"
depends="$(dpkg-deb -f "$deb" Depends)"
for needed in libcap2-bin libc6 libqt6widgets6 libstdc++6; do
  [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] ||
    fail "Depends lacks $needed: $depends"
done
for program in tessaly-pjsim tessaly-update tessaly-updater; do
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/bin/$program" >"$work/$program"
  debug_sections="$(LC_ALL=C readelf -S "$work/$program" | grep -c '\.debug_' || true)"
  [ "$debug_sections" = 0 ] || fail "$program carries debug sections: the package is not stripped"
done

echo "== lintian"
timeout 120 lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
grep -v 'running with root privileges' "$work/lintian.log" || true

echo "== install"
installed=1
timeout 60 dpkg -i "$deb" || fail "dpkg -i"
for program in tessaly-update tessaly-updater; do
  getcap "/usr/bin/$program" | grep -q 'cap_net_bind_service[=+]ep$' ||
    fail "/usr/bin/$program lacks cap_net_bind_service: $(getcap "/usr/bin/$program")"
done
[ -z "$(getcap /usr/bin/tessaly-pjsim)" ] || fail "the simulator was given a capability: $(getcap /usr/bin/tessaly-pjsim)"

echo "== serve the boot loader as nobody"
# The PC (10.73.0.1) and the projector (10.73.0.2) in namespaces of this run, joined by a
# veth pair made inside them: nothing reaches the machine's own network.
ip netns add "$ns_pc"
ip netns add "$ns_pj"
ip -n "$ns_pc" link add pc0 type veth peer name pj0 netns "$ns_pj"
ip -n "$ns_pc" addr add 10.73.0.1/24 dev pc0
ip -n "$ns_pj" addr add 10.73.0.2/24 dev pj0
for ns in "$ns_pc" "$ns_pj"; do
  ip -n "$ns" link set lo up
done
ip -n "$ns_pc" link set pc0 up
ip -n "$ns_pj" link set pj0 up
# A new namespace keeps ports below 1024 for privileged programs; should this kernel differ,
# make it so, or the capability would prove nothing.
if [ "$(ip netns exec "$ns_pc" cat /proc/sys/net/ipv4/ip_unprivileged_port_start)" -le 69 ]; then
  ip netns exec "$ns_pc" sh -c 'echo 1024 >/proc/sys/net/ipv4/ip_unprivileged_port_start' ||
    fail "ports 67 and 69 are open to every user in the namespace and that cannot be changed"
fi

chmod 755 "$work"
mkdir -m 755 "$work/fw"
mkdir -m 700 "$work/home"
chown nobody "$work/home"
# 24 whole blocks and a short one.
head -c $((24 * 512 + 300)) /dev/urandom >"$work/fw/main.bin"
chmod 644 "$work/fw/main.bin"

# Runs the installed command line in the PC's namespace as nobody; extra setpriv options
# first. The projector's address is the one its BOOTP reply assigns.
update_as_nobody() {  # output-file setpriv-options...
  local out="$1"
  shift
  (cd "$work/fw" && timeout 60 ip netns exec "$ns_pc" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$@" -- \
    env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
    /usr/bin/tessaly-update --projector 10.73.0.2 --manual 10.73.0.1 --main main.bin) >"$out" 2>&1
}

# Without the capability (under no_new_privs the file cannot grant it) the same run must
# fail on the ports: it is the capability that lets nobody bind them.
status=0
update_as_nobody "$work/denied.log" --no-new-privs || status=$?
cat "$work/denied.log"
if [ "$status" != 1 ] || ! grep -q "port 67 on 10.73.0.1" "$work/denied.log"; then
  fail "without the capability the command line should fail naming port 67 (status $status)"
fi

ip netns exec "$ns_pj" /usr/bin/tessaly-pjsim --listen 10.73.0.2 --image "$work/fw/main.bin" \
  --tftp-server 10.73.0.1 --restart-delay-ms 500 >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for_sim_line 10 "listening on 10.73.0.2:20554" || { show_sim_log; fail "the simulator did not start"; }

# A technician's hand puts the projector into download mode: the handshake and the Main
# download-mode command on its control port.
# shellcheck disable=SC2016  # the inner shell expands them
timeout 15 ip netns exec "$ns_pc" bash -c '
  set -e
  export LC_ALL=C
  exec 3<>/dev/tcp/10.73.0.2/20554
  read -r -N 5 -t 5 text <&3 && [ "$text" = PJ_OK ]
  printf PJREQ >&3
  read -r -N 5 -t 5 text <&3 && [ "$text" = PJACK ]
  printf "\x21\x89\x01UDET\x0a" >&3
  read -r -N 6 -t 5 text <&3 && [ "${text:3:2}" = UD ]
' || { show_sim_log; fail "the simulator did not take the Main download-mode command"; }
wait_for_sim_line 10 "boot loader: started" || { show_sim_log; fail "the boot loader did not start"; }

status=0
update_as_nobody "$work/update.log" || status=$?
cat "$work/update.log"
[ "$status" = 0 ] || { show_sim_log; fail "tessaly-update --manual as nobody ended with status $status"; }
grep -qx "Updated Main Firmware has succeeded." "$work/update.log" || fail "no success line"

wait_for_sim_line 10 "boot loader: last block acknowledged" || { show_sim_log; fail "the transfer did not end"; }
# It prints its verdict on SIGTERM; bounded, in case it hangs.
kill -TERM "$sim_pid"
for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$sim_pid" 2>/dev/null && { kill -KILL "$sim_pid"; show_sim_log; fail "the simulator did not stop on SIGTERM"; }
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""
show_sim_log
[ "$sim_status" = 0 ] || fail "the simulator ended with status $sim_status"
grep -q "image intact: yes" "$work/sim.log" || fail "the Main image did not arrive intact"
grep -qx "verdict: OK" "$work/sim.log" || fail "the simulator saw violations"

echo "== remove"
timeout 60 dpkg -r "$package" || fail "dpkg -r"
# No conffiles: nothing of it stays, not even a "config-files" record.
state="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
[ -z "$state" ] || [ "$state" = "unknown ok not-installed" ] || fail "$package after dpkg -r: $state"
while read -r file; do
  [ ! -e "${file#.}" ] || fail "${file#.} is left after removal"
done <<<"$files"
for program in tessaly-update tessaly-updater; do
  [ -z "$(getcap "/usr/bin/$program" 2>/dev/null)" ] || fail "/usr/bin/$program keeps a capability"
done
installed=0
echo "OK"
