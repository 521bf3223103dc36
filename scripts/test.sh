#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once as built for use; once under
# AddressSanitizer with UndefinedBehaviorSanitizer; the threaded and end-to-end tests once
# more under ThreadSanitizer; the Windows build's tests under Wine; then each fuzz target
# for a bounded time.
#
# The tests mostly wait on timers and sockets, so each build after the first is compiled
# at the lowest priority while the tests of the build before it run; the tests keep the
# priority they need for their timing. The fuzz targets run beside the Wine tests.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/install-deps.sh
jobs="$(nproc)"
# Most tests wait on timers and the network rather than compute: twice as many at once.
testjobs=$((jobs * 2))
# From scratch, each library is compiled in a few large translation units.
unity=(-DTESSALY_UNITY_BUILD=ON)
# Line tables only (-g1): reports keep their file and line, and the builds stay quick.
plain=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
sanitized=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1")
# The tests the ThreadSanitizer build runs: those that start threads, and the end-to-end ones.
tsan_tests='Threaded|Netns|^Lab\.|^CliOnControlPort\.'

configure() {  # folder, extra cmake arguments...
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "${unity[@]}" "$@" >/dev/null
}
# What each build took, for the log.
TIMEFORMAT='build: %R s wall, %U s user, %S s system'

# One build at a time in the background, at the lowest priority, its output in build/; in
# a process group of its own, so that a failing test run ends it too.
pending=""
pending_log=""
start_build() {  # name, command or function...
  pending_log="$top/build/$1-build.log"; shift
  set -m
  ( renice -n 19 -p "$BASHPID" >/dev/null; "$@" ) >"$pending_log" 2>&1 &
  pending=$!
  set +m
}
stop_build() {
  if [ -n "$pending" ] && kill -0 "$pending" 2>/dev/null; then kill -- "-$pending" 2>/dev/null || true; fi
}
trap stop_build EXIT
finish_build() {
  local status=0
  wait "$pending" || status=$?
  pending=""
  if [ "$status" -ne 0 ]; then
    cat "$pending_log"
    echo "test: the build logged in $pending_log failed" >&2
    exit 1
  fi
}

# The names of the tests the ThreadSanitizer run selects in a build folder; the window's
# tests are not built there, and the Wine tests run from the plain build only.
tsan_selected() {  # folder
  ctest --test-dir "$1" -N -R "$tsan_tests" -LE 'gui|wine' | sed -n 's/^ *Test *#[0-9]*: //p' | sort
}

echo "== build and test"
configure build "${plain[@]}"
time cmake --build build -j "$jobs"

# The ThreadSanitizer build needs only the programs those tests live in (and what they
# start): the plain build's test list names them.
mapfile -t tsan_targets < <(ctest --test-dir build -N -V -R "$tsan_tests" -LE 'gui|wine' |
  sed -n 's/^[0-9]*: Test command: //p' | grep -o "$top/build/[^\" ]*" | xargs -r -n1 basename | sort -u)
if [ ${#tsan_targets[@]} -eq 0 ]; then
  echo "test: no test matches $tsan_tests" >&2
  exit 1
fi
tsan_build() {
  configure build-tsan "${sanitized[@]}" -DTESSALY_SANITIZE=thread -DTESSALY_BUILD_GUI=OFF
  time cmake --build build-tsan -j "$jobs" --target "${tsan_targets[@]}"
}
start_build tsan tsan_build
ctest --test-dir build --output-on-failure -j "$testjobs" -LE wine
finish_build

asan_build() {
  configure build-asan "${sanitized[@]}" -DTESSALY_SANITIZE=address
  time cmake --build build-asan -j "$jobs"
}
start_build asan asan_build

echo "== ThreadSanitizer (threaded tests, end-to-end tests: ${tsan_targets[*]})"
# Every test the plain build selects must be built here too.
if ! diff <(tsan_selected build) <(tsan_selected build-tsan); then
  echo "test: the ThreadSanitizer build lacks the tests above (<) or has others (>)" >&2
  exit 1
fi
# The sanitizer runtime needs the address layout it was built for; newer kernels
# randomise more bits than it expects, so the tests run with randomisation off.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  "${norandom[@]}" ctest --test-dir build-tsan --output-on-failure -j "$testjobs" -R "$tsan_tests"
finish_build

# The Windows programs and their unit tests, cross-built while the AddressSanitizer tests run.
windows_build() { time scripts/build-windows.sh "$top/build-windows" "${unity[@]}"; }
start_build windows windows_build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  ctest --test-dir build-asan --output-on-failure -j "$testjobs"
finish_build

# The fuzz targets are built while the Windows tests run under Wine, and fuzzed as soon as
# they are built, one at a time: the Wine tests run one after another and leave the other
# processor free. The fuzzer takes back the usual priority (where it may), so that each
# target has a processor of its own for its whole time, as when they ran last on their own.
fuzz_seconds="${TESSALY_FUZZ_SECONDS:-10}"
fuzz_build_and_run() {
  time scripts/fuzz.sh --build
  renice -n 0 -p "$BASHPID" >/dev/null 2>&1 || true
  echo "== Fuzz targets ($fuzz_seconds s each)"
  FUZZ_JOBS=1 scripts/fuzz.sh "$fuzz_seconds"
}
start_build fuzz fuzz_build_and_run

echo "== Windows build under Wine"
ctest --test-dir build --output-on-failure -j "$testjobs" -L wine
finish_build
sed -n '/^== Fuzz targets/,$p' build/fuzz-build.log

echo "== Builds"
for name in tsan asan windows fuzz; do
  echo "$name $(grep -h '^build:' "build/$name-build.log" | tail -1)"
done
