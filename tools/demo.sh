#!/usr/bin/env bash
# The QS demo: the capture-server simulator (qs-sim) on loopback port 801 and
# the live viewer (qs-stream) reading it through the library, for a few
# seconds. Both run inside a private network namespace, so port 801 is free
# whatever else runs on the machine and no root rights are needed on systems
# that allow unprivileged user namespaces.
#
# With --view, the viewer is qs-view, the live 3D view in the browser, until
# Ctrl-C (or its --duration). Its page must be reachable from outside the
# namespace: the listening socket is opened here, outside, and handed in as
# file descriptor 3 (tools/qs-view/listen-and-run.py), the way socket activation
# does. --http ADDR:PORT (default 127.0.0.1:8080) says where; the other
# options go to qs-view.
#
# Usage: tools/demo.sh BUILD_DIR [SECONDS]
#        tools/demo.sh --view BUILD_DIR [--http ADDR:PORT] [qs-view options]
set -euo pipefail

VIEW=0
if [ "${1:-}" = "--view" ]; then
  VIEW=1
  shift
fi
BUILD_DIR=${1:-}
if [ -z "$BUILD_DIR" ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  echo "       $0 --view BUILD_DIR [--http ADDR:PORT] [qs-view options]" >&2
  exit 2
fi
shift
HTTP=127.0.0.1:8080
VIEW_OPTIONS=()
if [ $VIEW -eq 1 ]; then
  while [ $# -gt 0 ]; do
    case "$1" in
      --http) HTTP=${2:?--http needs ADDR:PORT}; shift 2 ;;
      *) VIEW_OPTIONS+=("$1"); shift ;;
    esac
  done
else
  SECONDS_TO_RUN=${1:-${QS_DEMO_SECONDS:-5}}
fi
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
SIM="$BUILD_DIR/tools/qs-sim"
VIEWER="$BUILD_DIR/tools/qs-stream/qs-stream"
[ $VIEW -eq 1 ] && VIEWER="$BUILD_DIR/tools/qs-view/qs-view"
for program in "$SIM" "$VIEWER"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; build the tools first (cmake --build $BUILD_DIR)" >&2
    exit 1
  fi
done

# Inside the namespace: loopback up, the simulator (the first argument) in
# the background, the viewer (the rest: its command line) in the foreground,
# then the simulator stopped and waited for.
INNER='
set -u
ip link set lo up || { echo "demo: cannot bring the loopback interface up" >&2; exit 1; }
"$1" --address 127.0.0.1 --port 801 --rate 100 --quiet &
sim=$!
shift
trap "kill -TERM $sim 2>/dev/null; wait $sim 2>/dev/null" EXIT
# The viewer retries until the simulator listens.
"$@"
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

if [ $VIEW -eq 1 ]; then
  echo "== QS view: qs-sim on 127.0.0.1:801 and qs-view (private network namespace), the page on $HTTP; Ctrl-C stops"
else
  echo "== QS demo: qs-sim on 127.0.0.1:801 and qs-stream for $SECONDS_TO_RUN s (private network namespace)"
fi
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  RUNNER=(unshare -n)
elif unshare -rn true 2>/dev/null; then
  RUNNER=(unshare -rn)
else
  echo "demo: cannot create a private network namespace." >&2
  echo "      Run it as root, or enable unprivileged user namespaces" >&2
  echo "      (sysctl kernel.unprivileged_userns_clone=1)." >&2
  echo "      Without one, run by hand: $SIM &  then  $VIEWER" >&2
  exit 1
fi
if ! command -v ip >/dev/null 2>&1; then
  echo "demo: the 'ip' command (package iproute2) is needed to bring loopback up" >&2
  exit 1
fi

set +e
if [ $VIEW -eq 1 ]; then
  if ! command -v python3 >/dev/null 2>&1; then
    echo "demo: python3 is needed to hand the page's socket into the namespace" >&2
    exit 1
  fi
  python3 "$(dirname "$0")/qs-view/listen-and-run.py" "$HTTP" 3 \
    "${RUNNER[@]}" bash -c "$INNER" demo "$SIM" "$VIEWER" --http-fd 3 "${VIEW_OPTIONS[@]}" 127.0.0.1
else
  "${RUNNER[@]}" bash -c "$INNER" demo "$SIM" "$VIEWER" --reconnect --duration "$SECONDS_TO_RUN" 127.0.0.1
fi
status=$?
set -e
if [ $status -eq 0 ]; then
  echo "== demo finished"
else
  echo "== demo failed (status $status)" >&2
fi
exit $status
