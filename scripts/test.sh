#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once as built for use; once under
# AddressSanitizer with UndefinedBehaviorSanitizer; the threaded and end-to-end tests once
# more under ThreadSanitizer; the Windows build's tests under Wine; then each fuzz target
# for a bounded time.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/install-deps.sh
jobs="$(nproc)"
# Most tests wait on timers and the network rather than compute: twice as many at once.
testjobs=$((jobs * 2))

build() {  # folder, extra cmake arguments...
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== build and test"
# Line tables only (-g1): reports keep their file and line, and the three builds stay quick.
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
# The Windows programs and their unit tests are cross-built at the lowest priority while the
# Linux tests run (they mostly wait on timers and sockets) and the sanitizer builds take
# what is left; their tests come last.
nice -n 19 scripts/build-windows.sh "$top/build-windows" >build/windows-build.log 2>&1 &
windows=$!
ctest --test-dir build --output-on-failure -j "$testjobs" -LE wine

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DTESSALY_SANITIZE=address
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  ctest --test-dir build-asan --output-on-failure -j "$testjobs"

echo "== ThreadSanitizer (threaded tests, end-to-end tests)"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DTESSALY_SANITIZE=thread -DTESSALY_BUILD_GUI=OFF
# The sanitizer runtime needs the address layout it was built for; newer kernels
# randomise more bits than it expects, so the tests run with randomisation off.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  "${norandom[@]}" ctest --test-dir build-tsan --output-on-failure -j "$testjobs" -R 'Threaded|Netns|^Lab\.|^CliOnControlPort\.'

echo "== Windows build under Wine"
if ! wait "$windows"; then
  cat build/windows-build.log
  exit 1
fi
ctest --test-dir build --output-on-failure -j "$testjobs" -L wine

echo "== Fuzz targets (${TESSALY_FUZZ_SECONDS:-10} s each)"
scripts/fuzz.sh "${TESSALY_FUZZ_SECONDS:-10}"
