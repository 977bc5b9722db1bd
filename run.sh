#!/usr/bin/env bash
# QS set-up and main jobs.
#   ./run.sh demo   build, then run the capture-server simulator with a live
#                   viewer that uses the exported API
#   ./run.sh test   build and run every test
#   ./run.sh windows  cross-build QS.dll for Windows and run its tests under
#                   Wine (see cmd_windows)
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

# Windows: QS.dll cross-built with mingw-w64 for 32-bit Windows in
# build-windows (the product: build-windows/bin/QS.dll), and from the same
# sources for 64-bit Windows in build-windows64. Each build runs its tests:
# the export and import tables of QS.dll, then unit tests, the C header test
# and host programs that load QS.dll, under Wine, against a Linux qs-sim
# (build-windows-host). Wine tests of a build whose Wine cannot run here
# (32-bit Wine on a kernel without 32-bit programs, or no wine32 installed)
# are reported as skipped, with the reason.
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libgtest-dev libgmock-dev
                  nlohmann-json3-dev wine wine64)

cmd_windows() {
  ensure_packages "${BASE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  cmake -S "$ROOT" -B "$ROOT/build-windows-host" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF
  cmake --build "$ROOT/build-windows-host" -j "$JOBS" --target qs-sim
  local arch dir
  for arch in i686 x86_64; do
    dir="$ROOT/build-windows"
    [ "$arch" = x86_64 ] && dir="$ROOT/build-windows64"
    echo "== Windows $arch: $dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
      -DQS_BUILD_TESTS=ON -DQS_BUILD_BENCH=OFF -DQS_BUILD_TOOLS=OFF \
      -DQS_SIM_EXECUTABLE="$ROOT/build-windows-host/tools/qs-sim"
    cmake --build "$dir" -j "$JOBS"
    (cd "$dir" && ctest --output-on-failure --timeout 600)
  done
  echo "== 32-bit Windows library: $ROOT/build-windows/bin/QS.dll (import library build-windows/api/QS.dll.a)"
}

case "${1:-}" in
  test) cmd_test ;;
  demo) cmd_demo ;;
  windows) cmd_windows ;;
  *) echo "usage: $0 demo|test|windows" >&2; exit 2 ;;
esac
