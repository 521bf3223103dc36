#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (Clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build-fuzz and runs each of them for a while, several at once.
#
#   scripts/fuzz.sh [seconds-per-target]   fuzz every target (default 20 s)
#   scripts/fuzz.sh --replay               run every target once over its corpora and findings
#   scripts/fuzz.sh --build                build the targets only
#
# FUZZ_JOBS sets how many run at once (default: the number of processors). The committed
# seeds in fuzz/corpus/<name> are only read; what the fuzzer adds goes to
# build-fuzz/corpus/<name>, crashes to build-fuzz/findings/<name>-*, logs to build-fuzz/logs.
# Exits non-zero when any target found anything.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

replay=0
build_only=0
seconds=20
case "${1:-}" in
  --replay) replay=1 ;;
  --build) build_only=1 ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [seconds-per-target | --replay | --build]" >&2; exit 2 ;;
  *) seconds="$1" ;;
esac
jobs="${FUZZ_JOBS:-$(nproc)}"

out=build-fuzz
# Each library in a few translation units: quicker from scratch.
CC=clang CXX=clang++ cmake -S . -B "$out" -G Ninja -DTESSALY_FUZZ=ON -DTESSALY_UNITY_BUILD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" >/dev/null
cmake --build "$out" -j "$jobs"
[ "$build_only" -eq 1 ] && exit 0

targets=()
for source in fuzz/*_fuzz.cpp; do
  name="$(basename "$source" _fuzz.cpp)"
  targets+=("$name")
done

mkdir -p "$out/logs" "$out/findings" "$out/tmp" "$out/status"
# The harnesses' temporary files stay inside the build folder.
export TMPDIR="$top/$out/tmp"
# Every finding is fatal and leaves a report with its stack.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
# Reports with file and line: the symbolizer may be installed under its versioned path only.
if ! command -v llvm-symbolizer >/dev/null 2>&1; then
  for s in /usr/lib/llvm-*/bin/llvm-symbolizer; do
    if [ -x "$s" ]; then export ASAN_SYMBOLIZER_PATH="$s"; fi
  done
fi

run_target() {  # name
  local name="$1" bin="$out/fuzz/$1_fuzz" log="$out/logs/$1.log" start end rc=0
  start="$(date +%s)"
  if [ "$replay" -eq 1 ]; then
    local inputs=("fuzz/corpus/$name")
    [ -d "$out/corpus/$name" ] && inputs+=("$out/corpus/$name")
    local f
    for f in "$out/findings/$name"-*; do [ -e "$f" ] && inputs+=("$f"); done
    "$bin" -runs=0 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "${inputs[@]}" >"$log" 2>&1 || rc=$?
  else
    mkdir -p "$out/corpus/$name"
    "$bin" "$out/corpus/$name" "fuzz/corpus/$name" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/findings/$name-" >"$log" 2>&1 || rc=$?
  fi
  end="$(date +%s)"
  echo "$rc $((end - start))" >"$out/status/$name"
}

rm -f "$out/status/"*
touch "$out/status/started"  # findings older than this are an earlier run's
running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "== $name"
  run_target "$name" &
  running=$((running + 1))
done
wait || true

new_findings() {  # name
  find "$out/findings" -maxdepth 1 -name "$1-*" -newer "$out/status/started" | sort | tr '\n' ' '
}

failed=()
echo
printf '%-16s %12s %8s %8s %6s  %s\n' target executions seconds corpus new result
for name in "${targets[@]}"; do
  read -r rc took <"$out/status/$name"
  log="$out/logs/$name.log"
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)"
  # The last status line's "corp: N/size": the inputs libFuzzer keeps for their coverage.
  corpus="$(grep -o 'corp: [0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)"
  added="$(find "$out/corpus/$name" -type f 2>/dev/null | wc -l)"
  result=OK
  if [ "$rc" -ne 0 ] || [ -n "$(new_findings "$name")" ]; then
    result=FAILED
    failed+=("$name")
  fi
  printf '%-16s %12s %8s %8s %6s  %s\n' "$name" "${execs:-0}" "$took" "${corpus:-0}" "$added" "$result"
done
for name in "${failed[@]}"; do
  read -r rc _ <"$out/status/$name"
  echo
  echo "== $name: exit status $rc; findings: $(new_findings "$name"); log: $out/logs/$name.log"
  tail -n 40 "$out/logs/$name.log"
done
[ ${#failed[@]} -eq 0 ]
