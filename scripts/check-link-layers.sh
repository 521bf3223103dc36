#!/usr/bin/env bash
# The linker's side of check-layers.sh: each floor's library (tessaly_platform, _session,
# _control, _bootloader, _subfw, _app) needs only symbols of its own and of the floors
# below it. A static library's unresolved symbols wait for the program's link, where a
# call sideways between two stages would still resolve; this finds it in the archives.
#   scripts/check-link-layers.sh FLOOR=ARCHIVE...   FLOOR: platform session control bootloader subfw app
set -euo pipefail

below() {
  case "$1" in
    platform) echo "" ;;
    session) echo "platform" ;;
    control|bootloader|subfw) echo "session platform" ;;
    app) echo "control bootloader subfw session platform" ;;
    *) echo "check-link-layers: $1 is no floor" >&2; exit 2 ;;
  esac
}

nm="${NM:-nm}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
floors=()
for arg in "$@"; do
  floor="${arg%%=*}"
  archive="${arg#*=}"
  below "$floor" >/dev/null
  "$nm" -g --defined-only "$archive" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u >"$work/$floor.defined"
  "$nm" -g --undefined-only "$archive" 2>/dev/null | awk 'NF == 2 { print $2 }' | sort -u >"$work/$floor.needed"
  floors+=("$floor")
done
[ ${#floors[@]} -gt 0 ] || { echo "usage: $0 FLOOR=ARCHIVE..." >&2; exit 2; }

bad=0
for floor in "${floors[@]}"; do
  allowed=("$work/$floor.defined")
  for b in $(below "$floor"); do
    [ -f "$work/$b.defined" ] && allowed+=("$work/$b.defined")
  done
  sort -u "${allowed[@]}" >"$work/allowed"
  comm -23 "$work/$floor.needed" "$work/allowed" >"$work/open"
  for other in "${floors[@]}"; do
    [ "$other" = "$floor" ] && continue
    case " $(below "$floor") " in *" $other "*) continue ;; esac
    while IFS= read -r symbol; do
      echo "tessaly_$floor needs $(echo "$symbol" | c++filt), defined only in tessaly_$other (not below it)"
      bad=1
    done < <(comm -12 "$work/open" "$work/$other.defined")
  done
done
if [ "$bad" -ne 0 ]; then
  echo "link layers: a floor's library calls up or sideways (see above)"
  exit 1
fi
echo "link layers: every floor's library needs only itself and the floors below"
