#!/bin/sh
# Runs a test program inside a private network namespace with loopback up,
# so that tests binding the fixed port 801 collide with nothing else on the
# machine. Exits 77 (reported by CTest as skipped, with the reason) when no
# namespace can be made.
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
if unshare -rn true 2>/dev/null; then
  exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
# Listing the tests binds nothing: let test discovery work without a namespace.
for arg in "$@"; do
  [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done
echo "SKIPPED: cannot create a private network namespace for port 801 (needs root, or unprivileged user namespaces for unshare -rn)" >&2
exit 77
