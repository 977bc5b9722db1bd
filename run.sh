#!/usr/bin/env bash
# QS set-up and main jobs.
#   ./run.sh demo   build, then run the capture-server simulator with a live
#                   viewer that uses the exported API
#   ./run.sh test   build and run every test
# Each installs what is missing (as root) or prints the exact command.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

BASE_PACKAGES=(cmake ninja-build g++ libboost-dev python3 iproute2 util-linux)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev pkgconf)

ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y "${missing[@]}" || { apt-get update && apt-get install -y "${missing[@]}"; }
  else
    echo "Missing packages: ${missing[*]}"
    echo "Install them with:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
}

configure_and_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$dir" -j "$JOBS"
}

cmd_test() {
  ensure_packages "${BASE_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  configure_and_build "$ROOT/build"
  (cd "$ROOT/build" && ctest --output-on-failure -j "$JOBS" --timeout 300)
}

cmd_demo() {
  ensure_packages "${BASE_PACKAGES[@]}"
  if [ ! -f "$ROOT/tools/demo.sh" ]; then
    echo "The demo (simulator plus live viewer) is not built yet."
    exit 0
  fi
  configure_and_build "$ROOT/build-demo" -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF
  exec bash "$ROOT/tools/demo.sh" "$ROOT/build-demo"
}

case "${1:-}" in
  test) cmd_test ;;
  demo) cmd_demo ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac
