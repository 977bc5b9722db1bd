#!/bin/sh
# Runs one Windows test program under Wine, bounded in time.
#
#   wine-run.sh --wine LOADER --prefix DIR [--netns] [--sim QS_SIM]
#               [--blackhole ADDR] [--drop-after SECONDS ADDR]
#               [--timeout SECONDS] -- PROGRAM [ARGUMENTS...]
#
# --netns  runs everything in a private network namespace with loopback up,
#          so that port 801 collides with nothing else on the machine. Wine's
#          sockets live in the wineserver's namespace, so the wineserver is
#          started inside it, and the prefix must not be in use by a
#          wineserver elsewhere (CTest runs these tests one at a time).
# --sim    starts the qs-sim capture server on 127.0.0.1:801 first (only
#          with --netns), and stops it afterwards.
# --blackhole ADDR
#          drops every packet to and from ADDR from before the program
#          starts: a machine that is off (only with --netns; nftables).
# --drop-after SECONDS ADDR
#          SECONDS after the program started, stops the qs-sim process (its
#          kernel still acknowledges what the client sent last), and a second
#          later drops every packet to and from ADDR: a peer that vanishes
#          while the client waits for its next packet (only with --netns;
#          nftables).
#
# Exit status: the program's; 124 when it was stopped for taking too long;
# 77 (skipped) when this machine cannot run the Wine loader, make a network
# namespace or filter packets in it.
set -u

WINE_LOADER=
PREFIX=
NETNS=0
SIM=
TIMEOUT=120
BLACKHOLE=
DROP_AFTER=
DROP_ADDRESS=
while [ $# -gt 0 ]; do
  case "$1" in
    --wine) WINE_LOADER=$2; shift 2 ;;
    --prefix) PREFIX=$2; shift 2 ;;
    --netns) NETNS=1; shift ;;
    --sim) SIM=$2; shift 2 ;;
    --timeout) TIMEOUT=$2; shift 2 ;;
    --blackhole) BLACKHOLE=$2; shift 2 ;;
    --drop-after) DROP_AFTER=$2; DROP_ADDRESS=$3; shift 3 ;;
    --) shift; break ;;
    *) echo "wine-run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "$WINE_LOADER" ] || [ -z "$PREFIX" ] || [ $# -eq 0 ]; then
  echo "usage: wine-run.sh --wine LOADER --prefix DIR [--netns] [--sim QS_SIM] [--timeout S] -- PROGRAM [ARGS...]" >&2
  exit 2
fi

if [ "$NETNS" = 1 ] && [ -z "${QS_WINE_RUN_IN_NETNS:-}" ]; then
  # Re-run this script inside a fresh network namespace.
  export QS_WINE_RUN_IN_NETNS=1
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$0" --wine "$WINE_LOADER" \
      --prefix "$PREFIX" --netns ${SIM:+--sim "$SIM"} ${BLACKHOLE:+--blackhole "$BLACKHOLE"} \
      ${DROP_AFTER:+--drop-after "$DROP_AFTER" "$DROP_ADDRESS"} --timeout "$TIMEOUT" -- "$@"
  fi
  echo "SKIPPED: cannot create a private network namespace for port 801 (needs root)" >&2
  exit 77
fi

# A loader that is missing, or that this machine cannot execute (32-bit Wine
# where 32-bit Linux programs cannot run), is a skip with the reason, not a
# failure.
if ! command -v "$WINE_LOADER" >/dev/null 2>&1; then
  echo "SKIPPED: the Wine loader $WINE_LOADER is not installed" >&2
  echo "         (32-bit Wine: dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386)" >&2
  exit 77
fi
if ! "$WINE_LOADER" --version >/dev/null 2>&1; then
  echo "SKIPPED: the Wine loader $WINE_LOADER does not run on this machine" >&2
  echo "         (32-bit Wine needs a kernel that executes 32-bit programs; the 64-bit build" >&2
  echo "         runs the same tests under wine64)" >&2
  exit 77
fi

export WINEPREFIX="$PREFIX"
export WINEDEBUG=-all
# No Mono or Gecko installers when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The wineserver that belongs to the loader (Debian: wine64 beside
# wineserver64), unless WINESERVER names one.
LOADER_DIR=$(dirname "$WINE_LOADER")
WINESERVER_BIN=${WINESERVER:-}
if [ -z "$WINESERVER_BIN" ]; then
  case "$WINE_LOADER" in
    *64) [ -x "$LOADER_DIR/wineserver64" ] && WINESERVER_BIN=$LOADER_DIR/wineserver64 ;;
  esac
fi
[ -z "$WINESERVER_BIN" ] && [ -x "$LOADER_DIR/wineserver" ] && WINESERVER_BIN=$LOADER_DIR/wineserver
[ -z "$WINESERVER_BIN" ] && WINESERVER_BIN=wineserver
export WINESERVER="$WINESERVER_BIN"

# The packet filter: one table of our own in the private namespace (it goes
# with the namespace), whose output chain sees every loopback packet once.
NFT_TABLE=qs_wine_run
if [ -n "$BLACKHOLE$DROP_AFTER" ]; then
  if [ "$NETNS" != 1 ]; then
    echo "wine-run.sh: --blackhole and --drop-after need --netns" >&2
    exit 2
  fi
  if ! command -v nft >/dev/null 2>&1; then
    echo "SKIPPED: nft (Debian package nftables) is not installed" >&2
    exit 77
  fi
  if ! out=$(nft add table inet $NFT_TABLE 2>&1 &&
             nft add chain inet $NFT_TABLE out '{ type filter hook output priority 0; }' 2>&1); then
    echo "SKIPPED: cannot filter packets here (nftables): $out" >&2
    exit 77
  fi
fi
drop_everything_of() {
  nft add rule inet $NFT_TABLE out ip daddr "$1" drop &&
    nft add rule inet $NFT_TABLE out ip saddr "$1" drop
}
if [ -n "$BLACKHOLE" ] && ! drop_everything_of "$BLACKHOLE"; then
  echo "wine-run.sh: cannot drop the packets of $BLACKHOLE" >&2
  exit 2
fi

SIM_PID=
DROP_PID=
cleanup() {
  for pid in $DROP_PID $SIM_PID; do
    kill "$pid" 2>/dev/null
    kill -CONT "$pid" 2>/dev/null  # a stopped qs-sim ends only once continued
    wait "$pid" 2>/dev/null
  done
  "$WINESERVER_BIN" -k >/dev/null 2>&1
  timeout 20 "$WINESERVER_BIN" -w >/dev/null 2>&1
}
trap cleanup EXIT

# The wineserver and Wine's own background processes must not inherit the
# caller's output pipes (CTest would wait for them to close): start them
# first with every standard stream redirected. What Wine prints meanwhile is
# kept in a log and shown when it cannot start a program at all, so that a
# broken Wine is told apart from a failing test.
mkdir -p "$WINEPREFIX"
SETUP_LOG="$WINEPREFIX/qs-setup.log"
: >"$SETUP_LOG"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDEBUG=fixme-all timeout 300 "$WINE_LOADER" wineboot -i </dev/null >>"$SETUP_LOG" 2>&1
fi
"$WINESERVER_BIN" -p </dev/null >/dev/null 2>&1
if ! WINEDEBUG=fixme-all timeout 120 "$WINE_LOADER" cmd /c exit </dev/null >>"$SETUP_LOG" 2>&1; then
  echo "FAILED: Wine ($WINE_LOADER) cannot start a Windows program in $WINEPREFIX; it printed:" >&2
  tail -n 20 "$SETUP_LOG" >&2
  exit 1
fi

if [ -n "$SIM" ]; then
  if [ "$NETNS" != 1 ]; then
    echo "wine-run.sh: --sim needs --netns (it binds port 801)" >&2
    exit 2
  fi
  # Bounded by itself as well: at most 60000 frames (10 minutes at 100 Hz).
  "$SIM" --address 127.0.0.1 --port 801 --rate 100 --frames 60000 --quiet </dev/null &
  SIM_PID=$!
fi

if [ -n "$DROP_AFTER" ]; then
  # The sleeps hold no output pipe, so one left behind by an early end keeps
  # nobody waiting.
  (sleep "$DROP_AFTER" >/dev/null 2>&1 && { [ -z "$SIM_PID" ] || kill -STOP "$SIM_PID"; } &&
     sleep 1 >/dev/null 2>&1 &&
     drop_everything_of "$DROP_ADDRESS" &&
     echo "wine-run.sh: qs-sim stopped, every packet of $DROP_ADDRESS dropped from now on" >&2) </dev/null &
  DROP_PID=$!
fi

timeout --kill-after=5 "$TIMEOUT" "$WINE_LOADER" "$@" </dev/null
rc=$?
[ $rc -eq 124 ] && echo "FAILED: $* did not end within $TIMEOUT s" >&2
exit $rc
