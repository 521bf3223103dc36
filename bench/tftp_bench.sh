#!/usr/bin/env bash
# Compares the Main firmware stage's TFTP service with tftpd-hpa: 512-byte blocks, one in
# flight, over loopback inside a private network namespace. "ours" is the stage alone
# (tessaly-serve-image); "one-shot" is the command line as technicians run it,
# tessaly-update --manual 127.0.0.1 --projector 127.0.0.1 --main FILE, started afresh for each download.
# Run as root:  bash bench/tftp_bench.sh [--runs N] [--size-mib M] [--server-bin PATH]
#                 [--cli-bin PATH] [--candidate-bin PATH] [--max-other PCT] [--keep]
# --candidate-bin adds another server: tessaly-serve-image built from a changed tree.
# --max-other: a run during which other work used more than PCT % of a CPU is left out.
set -euo pipefail

die() { echo "tftp_bench: $*" >&2; exit 2; }
note() { echo "tftp_bench: $*" >&2; }

# ---------------------------------------------------------------- inside the namespace
if [[ "${TESSALY_BENCH_INNER:-}" == 1 ]]; then
  : "${WORK:?}" "${SERVE_BIN:?}" "${CLI_BIN:?}" "${RUNS:?}" "${SIZE_MIB:?}" "${SERVER_CPU:?}" "${CLIENT_CPU:?}" "${SERVERS:?}"
  CG="${CG:-}"  # empty: no CPU figures
  CAND_BIN="${CAND_BIN:-}"
  SRV="$WORK/srv"
  IMAGE="$SRV/firmware.bin"
  RESULTS="$WORK/results.tsv"

  # Refuse to send anything from the machine's own namespace.
  [[ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ]] || die "not in a private network namespace"
  ip link set lo up

  port69_bound() { grep -Eq ' (0100007F|00000000):0045 ' /proc/net/udp; }
  cg_usage() { if [[ -n "$CG" ]]; then awk '$1 == "usage_usec" { print $2 }' "$CG/$1/cpu.stat"; else echo 0; fi; }
  cg_count() { if [[ -n "$CG" ]]; then grep -c . "$CG/$1/cgroup.procs" || true; else echo 0; fi; }
  udp_out() { awk '$1 == "Udp:" && $2 ~ /^[0-9]+$/ { print $5 }' /proc/net/snmp; }
  # Idle time of the benchmark CPUs. Only the idle and iowait columns are kept exactly
  # here; the busy ones are sampled at ticks, which fall mostly on busy moments in a VM.
  TICK_US=$((1000000 / $(getconf CLK_TCK)))
  NCPUS=$(( SERVER_CPU == CLIENT_CPU ? 1 : 2 ))
  cpus_idle_us() {
    awk -v a="cpu$SERVER_CPU" -v b="cpu$CLIENT_CPU" -v t="$TICK_US" \
      '$1 == a || ($1 == b && a != b) { s += $5 + $6 } END { printf "%.0f", s * t }' /proc/stat
  }

  # Starts a server pinned to the server CPU, in its cgroup; sets SERVER_PID.
  launch() {  # cgroup-name log command...
    local name="$1" log="$2"
    shift 2
    (
      if [[ -n "$CG" ]]; then echo "$BASHPID" > "$CG/$name/cgroup.procs"; fi
      exec taskset -c "$SERVER_CPU" "$@"
    ) >>"$log" 2>&1 &
    SERVER_PID=$!
  }

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
  not_bound() { ! port69_bound; }
  gone() { ! kill -0 "$1" 2>/dev/null; }
  only_parent() { [[ "$(cg_count hpa)" -le 1 ]]; }

  client_get() {  # client output
    if [[ -n "$CG" ]]; then echo "$BASHPID" > "$CG/client/cgroup.procs"; fi
    case "$1" in
      # No options: curl would otherwise ask for a block size, which tftpd-hpa grants.
      curl) timeout 300 taskset -c "$CLIENT_CPU" curl -s --tftp-no-options -o "$2" tftp://127.0.0.1/firmware.bin ;;
      tftp) timeout 300 taskset -c "$CLIENT_CPU" tftp 127.0.0.1 -m binary -c get firmware.bin "$2" ;;
    esac
  }

  SERVER_PID=""
  trap 'if [[ -n "$SERVER_PID" ]]; then kill "$SERVER_PID" 2>/dev/null || true; fi' EXIT
  FAILURES=0
  run_one() {  # server client round
    local server="$1" client="$2" round="$3"
    local out="$WORK/out.bin" log="$WORK/$server-$client-$round.log" status=0
    rm -f "$out"
    wait_until "port 69 free" not_bound || return 1
    local start_us ready_us xfer_us end_us udp0 udp1 t0 t1 idle0 idle1 client0 client1 srv1
    start_us=$(cg_usage "$server")
    case "$server" in
      ours) launch ours "$log" "$SERVE_BIN" --local 127.0.0.1 --file "$IMAGE" --port-tftp 69 ;;
      cand) launch cand "$log" "$CAND_BIN" --local 127.0.0.1 --file "$IMAGE" --port-tftp 69 ;;
      # Its settings file goes to the work folder, not the caller's home.
      cli) launch cli "$log" env XDG_CONFIG_HOME="$WORK/config" "$CLI_BIN" --manual 127.0.0.1 --projector 127.0.0.1 --main "$IMAGE" ;;
      # Its -a 127.0.0.1 resolves with AI_ADDRCONFIG, which fails where lo is the only
      # interface; the wildcard reaches nothing more than lo in this namespace.
      hpa) launch hpa "$log" in.tftpd -L -4 -a :69 --secure "$SRV" ;;
    esac
    wait_until "$server bound to port 69" port69_bound || { kill "$SERVER_PID" 2>/dev/null || true; return 1; }
    ready_us=$(cg_usage "$server")
    udp0=$(udp_out)
    client0=$(cg_usage client)
    idle0=$(cpus_idle_us)
    t0=$EPOCHREALTIME
    (client_get "$client" "$out") || status=$?
    t1=$EPOCHREALTIME
    idle1=$(cpus_idle_us)
    client1=$(cg_usage client)
    srv1=$(cg_usage "$server")
    if [[ "$server" != hpa ]]; then
      # It ends by itself after the last ACK.
      wait_until "$server to exit" gone "$SERVER_PID" || kill "$SERVER_PID" 2>/dev/null || true
      local rc=0
      wait "$SERVER_PID" || rc=$?
      [[ $rc == 0 ]] || { note "$server exited $rc (see $log)"; status=1; }
      xfer_us=$(cg_usage "$server")
      end_us=$xfer_us
    else
      # The transfer runs in a forked child; its CPU is counted once it is gone.
      wait_until "tftpd-hpa's child to exit" only_parent || status=1
      xfer_us=$(cg_usage hpa)
      kill "$SERVER_PID" 2>/dev/null || true
      wait_until "tftpd-hpa to exit" gone "$SERVER_PID" || kill -KILL "$SERVER_PID" 2>/dev/null || true
      wait "$SERVER_PID" 2>/dev/null || true
      end_us=$(cg_usage hpa)
    fi
    SERVER_PID=""
    udp1=$(udp_out)
    if [[ $status != 0 ]] || ! cmp -s "$out" "$IMAGE"; then
      note "FAILED: $server with $client, round $round (client status $status)"
      FAILURES=$((FAILURES + 1))
      return 0
    fi
    rm -f "$log" "$out"
    local secs
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    # Busy time of the benchmark CPUs that neither the server nor the client used while
    # the client ran: other work on the machine, which slows a run for reasons not its own.
    local other=0 busy
    if [[ -n "$CG" ]]; then
      busy=$(awk -v a="$t0" -v b="$t1" -v n="$NCPUS" -v i="$((idle1 - idle0))" 'BEGIN { printf "%.0f", (b - a) * 1e6 * n - i }')
      other=$(( busy - (srv1 - ready_us) - (client1 - client0) ))
    fi
    (( other > 0 )) || other=0
    printf '%s\t%s\t%d\t%s\t%d\t%d\t%d\t%d\n' "$server" "$client" "$round" "$secs" \
      $((xfer_us - ready_us)) $((end_us - start_us)) $((udp1 - udp0)) "$other" >> "$RESULTS"
    printf '  round %2d  %-5s %-5s %8s s  other CPU %s\n' "$round" "$server" "$client" "$secs" \
      "$([[ -n "$CG" ]] && awk -v o="$other" -v w="$secs" 'BEGIN { printf "%d%%", 100 * o / 1e6 / w }' || echo n/a)" >&2
  }

  # Enough quiet runs of every pair: RUNS rounds at least, 3 x RUNS at most.
  enough_quiet() {
    [[ -n "$CG" ]] || return 0
    awk -F'\t' -v need="$RUNS" -v max="$MAX_OTHER" -v pairs="$(( ${#servers[@]} * 2 ))" '
      100 * $8 / 1e6 / $4 < max { q[$1 " " $2]++ }
      END { n = 0; for (k in q) if (q[k] >= need) n++; exit !(n == pairs) }' "$RESULTS"
  }
  read -r -a servers <<< "$SERVERS"
  : > "$RESULTS"
  for round in $(seq $((3 * RUNS))); do
    if (( round > RUNS )); then
      if enough_quiet; then break; fi
      (( round != RUNS + 1 )) || note "other work disturbed some runs: adding rounds until each pair has $RUNS quiet ones (at most $((3 * RUNS)) rounds)"
    fi
    for client in curl tftp; do
      # Rotate which server goes first, so none always follows the same one.
      for i in "${!servers[@]}"; do
        server="${servers[$(( (i + round - 1) % ${#servers[@]} ))]}"
        run_one "$server" "$client" "$round" || FAILURES=$((FAILURES + 1))
      done
    done
  done
  exit $(( FAILURES > 0 ? 1 : 0 ))
fi

# ---------------------------------------------------------------- outside
RUNS=9
SIZE_MIB=16
SERVE_BIN="${TESSALY_SERVE_IMAGE:-}"
CLI_BIN="${TESSALY_UPDATE:-}"
CAND_BIN=""
MAX_OTHER=10
KEEP=0
while (( $# )); do
  case "$1" in
    --runs) RUNS="${2:?}"; shift 2 ;;
    --size-mib) SIZE_MIB="${2:?}"; shift 2 ;;
    --server-bin) SERVE_BIN="${2:?}"; shift 2 ;;
    --cli-bin) CLI_BIN="${2:?}"; shift 2 ;;
    --candidate-bin) CAND_BIN="${2:?}"; shift 2 ;;
    --max-other) MAX_OTHER="${2:?}"; shift 2 ;;
    --keep) KEEP=1; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) die "unknown argument $1" ;;
  esac
done
[[ "$RUNS" =~ ^[0-9]+$ ]] && (( RUNS >= 1 && RUNS <= 200 )) || die "--runs must be 1..200"
[[ "$MAX_OTHER" =~ ^[0-9]+$ ]] && (( MAX_OTHER >= 1 )) || die "--max-other must be a whole percentage"
[[ "$SIZE_MIB" =~ ^[0-9]+$ ]] && (( SIZE_MIB >= 1 && SIZE_MIB <= 31 )) || die "--size-mib must be 1..31 (16-bit block numbers wrap past 32 MiB)"

[[ $EUID == 0 ]] || die "run as root: it needs a network namespace, ports 67/69/9 and a cgroup"

missing=()
need() { command -v "$1" >/dev/null 2>&1 || missing+=("$1 (Debian package $2)"); }
need in.tftpd tftpd-hpa
need tftp tftp-hpa
need curl curl
need taskset util-linux
need unshare util-linux
need ip iproute2
need cmp diffutils
need timeout coreutils
if (( ${#missing[@]} )); then
  die "missing tools: ${missing[*]}; install with: apt-get install -y tftpd-hpa tftp-hpa curl"
fi
curl --version | grep -qw tftp || die "this curl has no TFTP support"
(( BASH_VERSINFO[0] >= 5 )) || die "bash 5 or later is needed (EPOCHREALTIME)"

HERE="$(cd "$(dirname "$0")" && pwd)"
TOP="$(cd "$HERE/.." && pwd)"

WORK="$(mktemp -d /tmp/tessaly-bench.XXXXXX)"
CG=""
remove_cgroups() {
  local s
  for s in ours hpa cand cli client; do if [[ -d "$CG/$s" ]]; then rmdir "$CG/$s" || true; fi; done
  rmdir "$CG" 2>/dev/null || note "could not remove cgroup $CG"
}
cleanup() {
  if [[ -n "$CG" ]]; then remove_cgroups; fi
  if (( KEEP )); then note "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# Build the server programs when none are given, as the shipped build is made.
if [[ -z "$SERVE_BIN" || -z "$CLI_BIN" ]]; then
  command -v cmake >/dev/null && command -v ninja >/dev/null || die "cmake and ninja are needed to build the servers (or pass --server-bin and --cli-bin)"
  BUILD="${TESSALY_BENCH_BUILD:-/tmp/tessaly-bench-build}"
  mkdir -p "$BUILD"
  note "building tessaly-serve-image and tessaly-update (RelWithDebInfo, as the shipped build) in $BUILD"
  cmake -S "$TOP" -B "$BUILD/out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSALY_BUILD_GUI=OFF -DTESSALY_BUILD_TESTS=OFF > "$BUILD/configure.log" 2>&1 || die "configure failed: $BUILD/configure.log"
  cmake --build "$BUILD/out" --target tessaly-serve-image tessaly-update > "$BUILD/build.log" 2>&1 || die "build failed: $BUILD/build.log"
  [[ -n "$SERVE_BIN" ]] || SERVE_BIN="$BUILD/out/bench/tessaly-serve-image"
  [[ -n "$CLI_BIN" ]] || CLI_BIN="$BUILD/out/src/cli/tessaly-update"
fi
[[ -x "$SERVE_BIN" ]] || die "no executable at $SERVE_BIN"
[[ -x "$CLI_BIN" ]] || die "no executable at $CLI_BIN"
SERVERS="ours cli hpa"
if [[ -n "$CAND_BIN" ]]; then
  [[ -x "$CAND_BIN" ]] || die "no executable at $CAND_BIN"
  SERVERS="ours cli hpa cand"
fi

# Server on one CPU, client on another, when there are two.
if taskset -c 0 true 2>/dev/null && taskset -c 1 true 2>/dev/null; then
  SERVER_CPU=0 CLIENT_CPU=1
else
  note "CPUs 0 and 1 are not both usable: server and client both pinned to CPU 0; figures are not comparable with a 2-CPU run"
  SERVER_CPU=0 CLIENT_CPU=0
fi

# A cgroup v2 per server: tftpd-hpa forks a child per transfer, which the parent's own
# /proc entry would not show while it lives.
CGROOT="$(awk '$3 == "cgroup2" { print $2; exit }' /proc/mounts)"
if [[ -n "$CGROOT" ]] && mkdir "$CGROOT/tessaly-bench-$$" 2>/dev/null; then
  CG="$CGROOT/tessaly-bench-$$"
  for s in $SERVERS client; do
    if ! mkdir "$CG/$s" 2>/dev/null || [[ ! -r "$CG/$s/cpu.stat" ]]; then
      remove_cgroups
      CG=""
      break
    fi
  done
fi
[[ -n "$CG" ]] || note "cgroup v2 is not writable here: measuring time only, CPU columns show n/a"

mkdir -p "$WORK/srv"
chmod 755 "$WORK" "$WORK/srv"  # tftpd-hpa drops to its own user inside the directory
head -c $((SIZE_MIB * 1048576)) /dev/urandom > "$WORK/srv/firmware.bin"
chmod 644 "$WORK/srv/firmware.bin"

note "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (run it on an otherwise idle machine)"
note "$RUNS rounds of ${SIZE_MIB} MiB with curl and tftp; servers: $SERVERS; server on CPU $SERVER_CPU, client on CPU $CLIENT_CPU"
status=0
TESSALY_BENCH_INNER=1 WORK="$WORK" SERVE_BIN="$SERVE_BIN" CLI_BIN="$CLI_BIN" CAND_BIN="$CAND_BIN" RUNS="$RUNS" SIZE_MIB="$SIZE_MIB" \
  SERVER_CPU="$SERVER_CPU" CLIENT_CPU="$CLIENT_CPU" CG="$CG" SERVERS="$SERVERS" MAX_OTHER="$MAX_OTHER" \
  unshare --net -- bash "$0" || status=$?

[[ -s "$WORK/results.tsv" ]] || die "no transfer succeeded"

awk -F'\t' -v mib="$SIZE_MIB" -v max="$MAX_OTHER" -v havecpu="$([[ -n "$CG" ]] && echo 1 || echo 0)" '
  function median(key,   n, i, j, t, a) {
    n = split(vals[key], a, " ")
    for (i = 1; i <= n; i++) a[i] += 0
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    lo[key] = a[1]; hi[key] = a[n]
    return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  function add(k, v) { vals[k] = (k in vals) ? vals[k] " " v : v }
  function ratio(x, y, what) {
    if (!(x in t) || !(y in t)) return
    if (havecpu && c[y] > 0) printf "  %-26s time %.3f   CPU/MiB %.3f\n", what, t[x] / t[y], c[x] / c[y]
    else printf "  %-26s time %.3f   CPU/MiB n/a\n", what, t[x] / t[y]
  }
  { line[NR] = $0; k = $1 SUBSEP $2; all[k]++; if (!havecpu || 100 * $8 / 1e6 / $4 < max) quiet[k]++ }
  END {
    # The quiet runs of a pair when there are three or more; else all its runs, marked *.
    for (r = 1; r <= NR; r++) {
      split(line[r], f, "\t"); k = f[1] SUBSEP f[2]
      q = !havecpu || 100 * f[8] / 1e6 / f[4] < max
      if ((!havecpu || quiet[k] >= 3) && !q) continue
      count[k]++; add(k SUBSEP "t", f[4]); add(k SUBSEP "c", f[5] / 1e6); add(k SUBSEP "a", f[6] / 1e6)
      add(k SUBSEP "d", f[7]); add(k SUBSEP "o", 100 * f[8] / 1e6 / f[4])
    }
    name["ours"] = "ours"; name["cli"] = "one-shot"; name["hpa"] = "tftpd-hpa"; name["cand"] = "candidate"
    split("ours cli hpa cand", order, " "); split("curl tftp", clients, " ")
    printf "\nmedians over the runs, %d MiB, 512-byte blocks (time: the client command; CPU: the server cgroup):\n", mib
    printf "%-10s %-6s %6s %8s %17s %7s %10s %17s %13s %9s %6s\n", "server", "client", "n", "time s", "(min-max)", "MiB/s", "CPU s/MiB", "(min-max)", "CPU+start/MiB", "datagrams", "other%"
    for (ci = 1; ci <= 2; ci++) for (s = 1; s <= 4; s++) {
      srv = order[s]; k = srv SUBSEP clients[ci]
      if (!(k in count)) continue
      t[k] = median(k SUBSEP "t"); c[k] = median(k SUBSEP "c"); a = median(k SUBSEP "a")
      trange = sprintf("(%.3f-%.3f)", lo[k SUBSEP "t"], hi[k SUBSEP "t"])
      crange = sprintf("(%.4f-%.4f)", lo[k SUBSEP "c"] / mib, hi[k SUBSEP "c"] / mib)
      n = sprintf("%d/%d%s", count[k], all[k], (!havecpu || quiet[k] >= 3) ? "" : "*")
      if (havecpu && quiet[k] < 3) marked = 1
      if (havecpu) printf "%-10s %-6s %6s %8.3f %17s %7.2f %10.5f %17s %13.5f %9d %6.1f\n", name[srv], clients[ci], n, t[k], trange, mib / t[k], c[k] / mib, crange, a / mib, median(k SUBSEP "d"), median(k SUBSEP "o")
      else printf "%-10s %-6s %6s %8.3f %17s %7.2f %10s %17s %13s %9d %6s\n", name[srv], clients[ci], n, t[k], trange, mib / t[k], "n/a", "", "n/a", median(k SUBSEP "d"), "n/a"
    }
    if (marked) printf "* fewer than 3 quiet runs (other work under %d%% of a CPU): all its runs are used\n", max
    printf "n: runs used / runs made; other%%: CPU that other work took on the two CPUs, in %% of one CPU\n"
    printf "\nratios of the medians (below 1: faster or cheaper than the second):\n"
    for (ci = 1; ci <= 2; ci++) {
      ratio("ours" SUBSEP clients[ci], "hpa" SUBSEP clients[ci], clients[ci] " ours/tftpd-hpa")
      ratio("cli" SUBSEP clients[ci], "hpa" SUBSEP clients[ci], clients[ci] " one-shot/tftpd-hpa")
      ratio("cand" SUBSEP clients[ci], "hpa" SUBSEP clients[ci], clients[ci] " candidate/tftpd-hpa")
      ratio("cand" SUBSEP clients[ci], "ours" SUBSEP clients[ci], clients[ci] " candidate/ours")
    }
  }' "$WORK/results.tsv"
(( status == 0 )) || note "some transfers failed; their runs are left out of the medians"
exit "$status"
