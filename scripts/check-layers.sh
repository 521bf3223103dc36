#!/usr/bin/env bash
# Each folder of src/ includes only folders on floors below its own: platform, then
# session, then the three stages (control, bootloader, subfw: none includes another),
# then app, then the front ends (gui, win32, cli: none includes another).
set -euo pipefail
cd "$(dirname "$0")/../src"

floor() {
  case "$1" in
    platform) echo 0 ;;
    session) echo 1 ;;
    control|bootloader|subfw) echo 2 ;;
    app) echo 3 ;;
    gui|win32|cli) echo 4 ;;
    *) echo "" ;;
  esac
}

bad=0
while IFS= read -r -d '' file; do
  own="${file%%/*}"
  ownFloor="$(floor "$own")"
  if [ -z "$ownFloor" ]; then
    echo "$file: the folder $own has no floor"
    bad=1
    continue
  fi
  while IFS= read -r line; do
    target="${line#*\"}"
    target="${target%%/*}"
    [ "$target" = "$own" ] && continue
    targetFloor="$(floor "$target")"
    [ -z "$targetFloor" ] && continue  # a header of the same folder, or not ours
    if [ "$targetFloor" -ge "$ownFloor" ]; then
      echo "$file includes $target/ (floor $targetFloor), which is not below $own/ (floor $ownFloor): ${line}"
      bad=1
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z0-9_]+/' "$file" || true)
done < <(find . \( -name '*.h' -o -name '*.cpp' \) -print0 | sed -z 's|^\./||')

if [ "$bad" -ne 0 ]; then
  echo "layers: an include points up or sideways (see above)"
  exit 1
fi
echo "layers: every include points down"
