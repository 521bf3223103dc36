#!/usr/bin/env bash
# The Windows installer under Wine: scripts/package-windows.sh makes the MSI and the zip
# from the cross build; the MSI is installed silently (both programs, the Start-menu
# shortcut, the entry in the installed programs, the firewall rules' step run without
# error) and removed silently again (nothing left). Also checks the zip's contents.
#   msi_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
# The prefix is the Linux build's (wine_prefix.sh); callers hold the CTest resource lock
# "wine_prefix". Exit status 77 when the Windows build, Wine or wixl is missing.
set -euo pipefail
winbuild="$1" linuxbuild="$2"
here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/../.." && pwd)"
wine=/usr/bin/wine
wineserver=/usr/lib/wine/wineserver

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}
[ -f "$winbuild/src/win32/tessaly-updater.exe" ] && [ -f "$winbuild/src/cli/tessaly-update.exe" ] ||
  skip "no Windows build in $winbuild (scripts/build-windows.sh $winbuild)"
command -v wixl >/dev/null || skip "wixl is not installed (apt-get install wixl)"
command -v unzip >/dev/null || skip "unzip is not installed (apt-get install unzip)"
status=0
prefix="$("$here/wine_prefix.sh" "$linuxbuild")" || status=$?
[ "$status" -eq 0 ] || exit "$status"

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

"$top/scripts/package-windows.sh" "$winbuild"
version="$(sed -n 's/^project(TessalyUpdater VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")"
msi="$winbuild/tessaly-updater-$version-x64.msi"
zipfile="$winbuild/tessaly-updater-$version-x64.zip"
[ -f "$msi" ] || fail "no $msi"
[ "$(unzip -Z1 "$zipfile" | sort | tr '\n' ' ')" = "README.txt tessaly-update.exe tessaly-updater.exe " ] ||
  fail "the zip holds: $(unzip -Z1 "$zipfile" | tr '\n' ' ')"
unzip -p "$zipfile" README.txt | grep -q "Run anyway" || fail "the zip's README does not say what SmartScreen asks"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
work="$(mktemp -d)"
cleanup() {
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# A server left by a run that was killed is ended first; the new one keeps nothing of
# this script's output open.
"$wineserver" -k </dev/null >/dev/null 2>&1 || true
"$wineserver" -w </dev/null >/dev/null 2>&1 || true
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1 || true

winpath() { echo "Z:${1//\//\\}"; }
msiexec() {  # msiexec ACTION LOG: silent, with a verbose log; its exit status
  timeout 300 "$wine" msiexec "$1" "$(winpath "$msi")" /qn /l*v "$(winpath "$2")" </dev/null >/dev/null 2>&1
}
# Wine puts a per-machine shortcut in the user's Start menu; Windows in the machine's.
shortcuts() {
  find "$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs" \
    "$prefix/drive_c/users" -name "Updater for Tessaly.lnk" 2>/dev/null || true
}
# The product codes of every "Updater for Tessaly" among the installed programs.
products() {
  timeout 60 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { key = $0 } /DisplayName.*Updater for Tessaly/ { sub(/.*\\/, "", key); print key }'
}
installed="$prefix/drive_c/Program Files/Tessaly"
# What a run that was killed half-way left is taken away first.
for code in $(products); do
  timeout 300 "$wine" msiexec /x "$code" /qn </dev/null >/dev/null 2>&1 || true
done
rm -rf "$installed"

msiexec /i "$work/install.log" || fail "msiexec /i exited $? (log: $(tail -5 "$work/install.log" | tr -d '\r'))"
for exe in tessaly-updater.exe tessaly-update.exe; do
  cmp -s "$installed/Updater/$exe" "$winbuild/src/$([ "$exe" = tessaly-update.exe ] && echo cli || echo win32)/$exe" ||
    fail "Program Files holds no $exe as built"
done
[ -n "$(shortcuts)" ] || fail "no Start-menu shortcut"
[ "$(products | wc -l)" = 1 ] || fail "not one entry among the installed programs: $(products | tr '\n' ' ')"
# The rules' step ran, and ended well: Wine has no firewall to take the rules, so the
# program said nothing and exited 0.
grep -aq "Action ended .*AddFirewallRules. Return value 1" "$work/install.log" ||
  fail "the firewall rules' step did not run or failed: $(grep -a AddFirewallRules "$work/install.log" | tr -d '\r')"

msiexec /x "$work/remove.log" || fail "msiexec /x exited $?"
grep -aq "Action ended .*RemoveFirewallRules. Return value 1" "$work/remove.log" ||
  fail "the firewall rules' removal did not run or failed"
[ ! -e "$installed" ] || fail "left after removal: $(find "$installed" | tr '\n' ' ')"
[ -z "$(shortcuts)" ] || fail "the shortcut is left after removal"
[ -z "$(products)" ] || fail "the entry among the installed programs is left after removal"
timeout 60 "$wine" reg query 'HKLM\Software\Tessaly' </dev/null >/dev/null 2>&1 &&
  fail "HKEY_LOCAL_MACHINE\\Software\\Tessaly is left after removal"
echo "installed and removed $msi"
