#!/usr/bin/env bash
# Fleet benchmark: K simulated projectors on one bridged segment, updated by the real
# command line one whole unit after another (--parallel 1) and side by side (the default),
# against the ideal: K Main stages in a row, the restart wait, one Sub stage.
# Run as root:  bash bench/fleet_bench.sh [--k K]... [--skip-one-by-one] [--main-runs N]
#                 [--update-bin PATH] [--pjsim-bin PATH] [--max-ratio R] [--keep]
# --k: one fleet size (4 and 16 when not given; may be given again).
# --main-runs: Main alone is the median of N runs (5): the ideal counts it K times.
# Exit status: 0 every run succeeded and every side-by-side ratio is at most --max-ratio
# (1.15); 1 a ratio above it; 2 a run failed or the set-up did.
set -euo pipefail

die() { echo "fleet_bench: $*" >&2; exit 2; }
note() { echo "fleet_bench: $*" >&2; }

# The fixed restart wait between a unit's Main stage and its Sub stage's reconnection.
RESTART_WAIT_S=7
# Bounded waits: 1000 looks, about 10 s at most.
wait_until() {  # description command...
  local what="$1"
  shift
  for _ in $(seq 1000); do
    if "$@"; then return 0; fi
    sleep 0.01
  done
  note "gave up waiting: $what"
  return 1
}

# ---------------------------------------------------------------- inside the namespace
if [[ "${TESSALY_BENCH_INNER:-}" == 1 ]]; then
  : "${WORK:?}" "${UPDATE_BIN:?}" "${PJSIM_BIN:?}" "${KS:?}" "${ONE_BY_ONE:?}" "${MAIN_RUNS:?}"
  RESULTS="$WORK/results.tsv"
  PREFIX=10.75.0
  BRIDGE=lab0

  # Refuse to send anything from the machine's own namespace: the Magic packets and BOOTP
  # replies are broadcasts.
  [[ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ]] || die "not in a private network namespace"
  ip link set lo up
  # The updater's settings and saved logs go to the work folder, not the caller's home.
  cd "$WORK"

  HOLDERS=()    # the far namespaces' sleeping processes
  PROJECTORS=() # the simulators now running, by PID
  end_all() {
    local pid
    for pid in "${PROJECTORS[@]}" "${HOLDERS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${PROJECTORS[@]}" "${HOLDERS[@]}"; do wait "$pid" 2>/dev/null || true; done
    PROJECTORS=()
    HOLDERS=()
  }
  trap end_all EXIT

  address() { echo "$PREFIX.$(($1 + 2))"; }
  own_ns() { [[ "$(readlink "/proc/$1/ns/net" 2>/dev/null)" != "$(readlink /proc/self/ns/net)" && -e "/proc/$1/ns/net" ]]; }

  # The bridge here (the updater's side, .1) and K far namespaces joined to it by veth pairs.
  segment_up() {  # K
    local k="$1" i pid in
    ip link add "$BRIDGE" type bridge && ip addr add "$PREFIX.1/24" dev "$BRIDGE" && ip link set "$BRIDGE" up || return 1
    for ((i = 0; i < k; i++)); do
      unshare --net sleep infinity &
      pid=$!
      HOLDERS+=("$pid")
      wait_until "far namespace $i" own_ns "$pid" || return 1
      in=(nsenter --net="/proc/$pid/ns/net")
      ip link add "${BRIDGE}v$i" type veth peer name "${BRIDGE}p$i" &&
        ip link set "${BRIDGE}p$i" netns "$pid" &&
        ip link set "${BRIDGE}v$i" master "$BRIDGE" &&
        ip link set "${BRIDGE}v$i" up &&
        "${in[@]}" ip addr add "$(address "$i")/24" dev "${BRIDGE}p$i" &&
        "${in[@]}" ip link set "${BRIDGE}p$i" up &&
        "${in[@]}" ip link set lo up || return 1
    done
  }
  # The far namespaces go with their processes, and the veth pairs with them.
  segment_down() {
    local pid
    for pid in "${HOLDERS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${HOLDERS[@]}"; do wait "$pid" 2>/dev/null || true; done
    HOLDERS=()
    ip link del "$BRIDGE"
  }

  # A fresh simulator in each of the first N far namespaces, each listening before the run.
  start_projectors() {  # N tag
    local n="$1" tag="$2" i
    PROJECTORS=()
    for ((i = 0; i < n; i++)); do
      nsenter --net="/proc/${HOLDERS[$i]}/ns/net" "$PJSIM_BIN" --listen "$(address "$i")" --model QMB --burn-ms 300 \
        --image "$WORK/main.bin" --sub-image "$WORK/sub.brec2" > "$WORK/$tag-pj$i.log" 2>&1 &
      PROJECTORS+=("$!")
    done
    for ((i = 0; i < n; i++)); do
      wait_until "simulator $(address "$i") listening" \
        grep -qF "listening on $(address "$i"):20554, model QMB" "$WORK/$tag-pj$i.log" || return 1
    done
  }
  gone() { ! kill -0 "$1" 2>/dev/null; }
  # Ends the simulators; each must exit 0 (nothing wrong seen) with the images it was sent whole.
  end_projectors() {  # tag main(0/1) sub(0/1)
    local tag="$1" main="$2" sub="$3" i pid rc ok=0 log
    for pid in "${PROJECTORS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for i in "${!PROJECTORS[@]}"; do
      pid="${PROJECTORS[$i]}" log="$WORK/$tag-pj$i.log" rc=0
      wait_until "simulator $(address "$i") to exit" gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" || rc=$?
      if [[ $rc != 0 ]] || ! grep -q '^verdict: OK' "$log" ||
        { [[ $main == 1 ]] && ! grep -q '^boot loader: .*image intact: yes' "$log"; } ||
        { [[ $sub == 1 ]] && ! grep -q '^sub image: Sub image received intact' "$log"; }; then
        note "simulator $(address "$i") of $tag: exit $rc, or an image not received whole (see $log)"
        ok=1
      fi
    done
    PROJECTORS=()
    return $ok
  }

  # The whole machine's busy and idle ticks: how busy it was during a run, ours included.
  machine_ticks() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat; }

  FAILURES=0
  # One run of the updater against the first N projectors: wall, user and system time of
  # the updater process, appended to the results.
  measure() {  # K mode N updater-arguments...; RUN_TAG tells repeated runs apart
    local k="$1" mode="$2" n="$3" main=0 sub=0 i
    shift 3
    local tag="k$k-$mode${RUN_TAG:-}"
    local log="$WORK/$tag.log" times="$WORK/$tag.time" rc=0
    [[ " $* " == *" --main "* ]] && main=1
    [[ " $* " == *" --sub "* ]] && sub=1
    local args=()
    for ((i = 0; i < n; i++)); do args+=(--projector "$(address "$i")"); done
    start_projectors "$n" "$tag" || { FAILURES=$((FAILURES + 1)); end_projectors "$tag" 0 0 || true; return 0; }
    TIMEFORMAT='%3R %3U %3S'
    local busy0 idle0 busy1 idle1
    read -r busy0 idle0 < <(machine_ticks)
    {
      time env HOME="$WORK" XDG_CONFIG_HOME="$WORK/config" XDG_STATE_HOME="$WORK/state" \
        timeout 600 "$UPDATE_BIN" "${args[@]}" "$@" > "$log" 2>&1
    } 2> "$times" || rc=$?
    read -r busy1 idle1 < <(machine_ticks)
    if ! end_projectors "$tag" "$main" "$sub" && [[ $rc == 0 ]]; then rc=1; fi
    if [[ $rc != 0 ]]; then
      note "FAILED: K=$k $mode exited $rc (see $log)"
      FAILURES=$((FAILURES + 1))
      return 0
    fi
    local wall user sys
    read -r wall user sys < "$times" || { note "no times for K=$k $mode"; FAILURES=$((FAILURES + 1)); return 0; }
    printf '%d\t%s\t%s\t%s\n' "$k" "$mode" "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')" >> "$RESULTS"
    printf '  K=%-2d %-18s %8s s  CPU %s s  machine busy %s%%\n' "$k" "$mode" "$wall" "$(tail -n1 "$RESULTS" | cut -f4)" \
      "$(awk -v b=$((busy1 - busy0)) -v i=$((idle1 - idle0)) 'BEGIN { printf "%.0f", (b + i > 0 ? 100 * b / (b + i) : 0) }')" >&2
  }

  : > "$RESULTS"
  for k in $KS; do
    segment_up "$k" || die "could not set up the segment of $k"
    note "K=$k: $k simulated projectors on $BRIDGE (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    for ((r = 1; r <= MAIN_RUNS; r++)); do RUN_TAG="-$r" measure "$k" main-alone 1 --main "$WORK/main.bin"; done
    measure "$k" sub-alone 1 --sub "$WORK/sub.brec2"
    if [[ $ONE_BY_ONE == 1 ]]; then
      measure "$k" one-after-another "$k" --main "$WORK/main.bin" --sub "$WORK/sub.brec2" --parallel 1
    fi
    measure "$k" side-by-side "$k" --main "$WORK/main.bin" --sub "$WORK/sub.brec2"
    segment_down
  done
  exit $((FAILURES > 0 ? 2 : 0))
fi

# ---------------------------------------------------------------- outside
KS=""
ONE_BY_ONE=1
MAIN_RUNS=5
UPDATE_BIN="${TESSALY_UPDATE:-}"
PJSIM_BIN="${TESSALY_PJSIM:-}"
MAX_RATIO=1.15
KEEP=0
while (($#)); do
  case "$1" in
    --k) KS="$KS ${2:?}"; shift 2 ;;
    --skip-one-by-one) ONE_BY_ONE=0; shift ;;
    --main-runs) MAIN_RUNS="${2:?}"; shift 2 ;;
    --update-bin) UPDATE_BIN="${2:?}"; shift 2 ;;
    --pjsim-bin) PJSIM_BIN="${2:?}"; shift 2 ;;
    --max-ratio) MAX_RATIO="${2:?}"; shift 2 ;;
    --keep) KEEP=1; shift ;;
    -h | --help) sed -n '2,9p' "$0"; exit 0 ;;
    *) die "unknown argument $1" ;;
  esac
done
KS="${KS:- 4 16}"
for k in $KS; do
  # Up to --parallel's default, so that every Sub stage of the fleet runs at once.
  [[ "$k" =~ ^[0-9]+$ ]] && ((k >= 1 && k <= 16)) || die "--k must be 1..16"
done
[[ "$MAIN_RUNS" =~ ^[0-9]+$ ]] && ((MAIN_RUNS >= 1 && MAIN_RUNS <= 50)) || die "--main-runs must be 1..50"
[[ "$MAX_RATIO" =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "--max-ratio must be a number"

[[ $EUID == 0 ]] || die "run as root: it needs network namespaces, a bridge and the ports 9, 67, 69"

missing=()
need() { command -v "$1" > /dev/null 2>&1 || missing+=("$1 (Debian package $2)"); }
need unshare util-linux
need nsenter util-linux
need ip iproute2
need timeout coreutils
need awk gawk
((${#missing[@]} == 0)) || die "missing tools: ${missing[*]}"

HERE="$(cd "$(dirname "$0")" && pwd)"
TOP="$(cd "$HERE/.." && pwd)"
BUILD="${TESSALY_BUILD:-$TOP/build}"
[[ -n "$UPDATE_BIN" ]] || UPDATE_BIN="$BUILD/src/cli/tessaly-update"
[[ -n "$PJSIM_BIN" ]] || PJSIM_BIN="$BUILD/tools/pjsim/tessaly-pjsim"
HOW="build them: cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build --target tessaly-update tessaly-pjsim (or pass --update-bin and --pjsim-bin)"
[[ -x "$UPDATE_BIN" ]] || die "no executable at $UPDATE_BIN; $HOW"
[[ -x "$PJSIM_BIN" ]] || die "no executable at $PJSIM_BIN; $HOW"
UPDATE_BIN="$(realpath "$UPDATE_BIN")"
PJSIM_BIN="$(realpath "$PJSIM_BIN")"

WORK="$(mktemp -d /tmp/tessaly-fleet-bench.XXXXXX)"
cleanup() { if ((KEEP)); then note "kept $WORK"; else rm -rf "$WORK"; fi; }
trap cleanup EXIT

# A 48 KiB Main image; a Sub image for model QMB (0x0B at offset 9 of the 32-byte header)
# of two whole 16368-byte blocks and a 1000-byte one.
head -c $((48 * 1024)) /dev/urandom > "$WORK/main.bin"
{
  printf '\0\0\0\0\0\0\0\0\0\x0b'
  head -c 22 /dev/zero
  head -c $((2 * 16368 + 1000)) /dev/urandom
} > "$WORK/sub.brec2"
(($(stat -c %s "$WORK/sub.brec2") == 32 + 2 * 16368 + 1000)) || die "could not write the Sub image"

note "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (run it on an otherwise idle machine)"
note "fleets of$KS; $( ((ONE_BY_ONE)) && echo "one after another and side by side" || echo "side by side only")"
status=0
TESSALY_BENCH_INNER=1 WORK="$WORK" UPDATE_BIN="$UPDATE_BIN" PJSIM_BIN="$PJSIM_BIN" KS="$KS" ONE_BY_ONE="$ONE_BY_ONE" MAIN_RUNS="$MAIN_RUNS" \
  unshare --net -- bash "$0" || status=$?
((status == 0)) || { KEEP=1; die "a run or the set-up failed; logs in $WORK"; }

# The table; the ideal of a fleet: K Main stages in a row, the restart wait, one Sub stage.
awk -F'\t' -v wait_s="$RESTART_WAIT_S" -v max="$MAX_RATIO" '
  # Main alone: the median of its runs, which come one after another.
  function median(key,   n, i, j, t, a) {
    n = split(vals[key], a, " ")
    for (i = 1; i <= n; i++) a[i] += 0
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    range[key] = n > 1 ? sprintf("median of %d (%.3f-%.3f)", n, a[1], a[n]) : ""
    return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  {
    key = $1 SUBSEP $2
    if (!(key in seen)) { seen[key] = 1; order[++rows] = key; k[rows] = $1; mode[rows] = $2 }
    vals[key] = (key in vals) ? vals[key] " " $3 : $3
    cpus[key] = (key in cpus) ? cpus[key] " " $4 : $4
  }
  END {
    printf "\n%3s  %-18s %8s %8s %8s %7s\n", "K", "mode", "wall s", "ideal s", "ratio", "CPU s"
    bad = 0
    for (r = 1; r <= rows; r++) {
      key = order[r]; vals[key "cpu"] = cpus[key]
      wall = median(key); note = range[key]; cpu = median(key "cpu"); w[key] = wall
      if (mode[r] == "main-alone" || mode[r] == "sub-alone") {
        line = sprintf("%3d  %-18s %8.3f %8s %8s %7.3f  %s", k[r], mode[r], wall, "", "", cpu, note)
        sub(/ +$/, "", line)
        print line
        continue
      }
      ideal = k[r] * w[k[r] SUBSEP "main-alone"] + wait_s + w[k[r] SUBSEP "sub-alone"]
      ratio = wall / ideal
      printf "%3d  %-18s %8.3f %8.3f %8.3f %7.3f\n", k[r], mode[r], wall, ideal, ratio, cpu
      if (mode[r] == "side-by-side") {
        verdict[++nv] = sprintf("K=%d side by side: ratio %.3f %s %s", k[r], ratio, ratio <= max + 0 ? "<=" : ">", max)
        if (ratio > max + 0) bad = 1
      }
    }
    printf "\nideal: K x Main alone + %d s restart wait + Sub alone; CPU: the updater process, user + system\n", wait_s
    for (v = 1; v <= nv; v++) print verdict[v]
    exit bad
  }' "$WORK/results.tsv" || { note "side by side is slower than $MAX_RATIO x the ideal"; exit 1; }
