#!/usr/bin/env bash
# The QS demo: the capture-server simulator (qs-sim) on loopback port 801 and
# the live viewer (qs-stream) reading it through the library, for a few
# seconds. Both run inside a private network namespace, so port 801 is free
# whatever else runs on the machine and no root rights are needed on systems
# that allow unprivileged user namespaces.
#
# Usage: tools/demo.sh BUILD_DIR [SECONDS]
set -euo pipefail

BUILD_DIR=${1:-}
SECONDS_TO_RUN=${2:-${QS_DEMO_SECONDS:-5}}
if [ -z "$BUILD_DIR" ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  exit 2
fi
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
SIM="$BUILD_DIR/tools/qs-sim"
VIEWER="$BUILD_DIR/tools/viewer/qs-stream"
for program in "$SIM" "$VIEWER"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; build the tools first (cmake --build $BUILD_DIR)" >&2
    exit 1
  fi
done

# Inside the namespace: loopback up, the simulator in the background, the
# viewer in the foreground, then the simulator stopped and waited for.
INNER='
set -u
ip link set lo up || { echo "demo: cannot bring the loopback interface up" >&2; exit 1; }
"$1" --address 127.0.0.1 --port 801 --rate 100 --quiet &
sim=$!
trap "kill -TERM $sim 2>/dev/null; wait $sim 2>/dev/null" EXIT
# The viewer retries until the simulator listens.
"$2" --reconnect --duration "$3" 127.0.0.1
status=$?
kill -TERM $sim 2>/dev/null
wait $sim
sim_status=$?
trap - EXIT
if [ $sim_status -ne 0 ]; then
  echo "demo: qs-sim ended with status $sim_status" >&2
  exit 1
fi
exit $status
'

echo "== QS demo: qs-sim on 127.0.0.1:801 and qs-stream for $SECONDS_TO_RUN s (private network namespace)"
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  RUNNER=(unshare -n)
elif unshare -rn true 2>/dev/null; then
  RUNNER=(unshare -rn)
else
  echo "demo: cannot create a private network namespace." >&2
  echo "      Run it as root, or enable unprivileged user namespaces" >&2
  echo "      (sysctl kernel.unprivileged_userns_clone=1)." >&2
  echo "      Without one, run by hand: $SIM &  then  $VIEWER --duration $SECONDS_TO_RUN" >&2
  exit 1
fi
if ! command -v ip >/dev/null 2>&1; then
  echo "demo: the 'ip' command (package iproute2) is needed to bring loopback up" >&2
  exit 1
fi

set +e
"${RUNNER[@]}" bash -c "$INNER" demo "$SIM" "$VIEWER" "$SECONDS_TO_RUN"
status=$?
set -e
if [ $status -eq 0 ]; then
  echo "== demo finished"
else
  echo "== demo failed (status $status)" >&2
fi
exit $status
