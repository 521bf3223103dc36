#!/usr/bin/env bash
# Runs a test program in a private network namespace of its own: the fixed ports (9, 67,
# 68, 69, the control port 20554) and the broadcasts of the boot-loader tests can neither
# collide with a parallel run nor leave the machine. Listing the tests needs no namespace.
for arg in "$@"; do
  if [ "$arg" = "--gtest_list_tests" ]; then exec "$@"; fi
done
if ! unshare --net true 2>/dev/null; then
  echo "SKIPPED: a private network namespace cannot be made here (it needs root); CI runs these tests" >&2
  exit 77
fi
exec unshare --net -- bash -c 'ip link set lo up && TESSALY_IN_NETNS=1 exec "$@"' run_in_netns "$@"
