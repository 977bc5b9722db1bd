#!/usr/bin/env bash
# QS set-up and main jobs.
#   ./run.sh demo   build, then run the capture-server simulator with a live
#                   viewer that uses the exported API
#   ./run.sh view [OPTIONS]  build, then run the simulator with qs-view, the
#                   live 3D view in the browser, until Ctrl-C; OPTIONS go to
#                   qs-view (--http ADDR:PORT, --y-up, --left-handed, ...)
#   ./run.sh test   build and run every test
#   ./run.sh windows  only the Windows stages of the test command: cross-build
#                   QS.dll and run its tests under Wine
# Each installs what is missing (as root) or prints the exact command.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

BASE_PACKAGES=(cmake ninja-build g++ libboost-dev python3 iproute2 util-linux)
# python3-numpy: the tests of qs.Recording's arrays and Client.snapshot();
# python3-pip, -setuptools, -wheel: the test of pip install ./python.
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev pkgconf nftables
               python3-numpy python3-pip python3-setuptools python3-wheel)

# apt-get that waits (up to 15 minutes) for another installer's lock
# instead of failing at once.
apt_get() {
  apt-get -o DPkg::Lock::Timeout=900 "$@"
}

# With --optional first, packages that cannot be had are only reported: the
# tests that need them are skipped.
ensure_packages() {
  local optional=0 missing=()
  if [ "${1:-}" = --optional ]; then
    optional=1
    shift
  fi
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt_get install -y "${missing[@]}" || { apt_get update && apt_get install -y "${missing[@]}"; } ||
      { [ $optional -eq 1 ] && echo "note: could not install ${missing[*]}; the tests that need them are skipped"; }
  elif [ $optional -eq 1 ]; then
    echo "note: ${missing[*]} not installed (sudo apt-get install -y ${missing[*]}); the tests that need them are skipped"
  else
    echo "Missing packages: ${missing[*]}"
    echo "Install them with:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
}

configure_and_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$JOBS"
}

# ---- Test stages --------------------------------------------------------------
# Each stage is a configure, build and test preset of CMakePresets.json:
# 1. default: the normal build and every test (build);
# 2. asan: the whole suite again under AddressSanitizer +
#    UndefinedBehaviorSanitizer, but for the tests that load libQS.so into
#    programs that are not instrumented (python3, a plain C compile), which a
#    sanitizer runtime refuses (labels python and install) (build-asan);
# 3. tsan: the threaded tests (label threaded: stream client, frame client,
#    facade and exports, end to end, hostile peers, soak and lifecycle, the
#    view's event server) under ThreadSanitizer (build-tsan);
#    both sanitizer builds compile at -O1 with line tables only (-g1): their
#    reports still name file and line, and the instrumented compile, the
#    largest part of the command's time, takes about half as long as at -O2 -g;
# 4. fuzz: each libFuzzer target for QS_FUZZ_SECONDS (default 30) from its
#    seeds (build-fuzz, clang);
# 5. windows-i686 and windows-x86_64: QS.dll cross-built for 32-bit Windows
#    and its tests under 32-bit Wine (build-windows), then the same for 64-bit
#    Windows under 64-bit Wine (build-windows64); see "Windows" below.
# Any failed test, sanitizer report or fuzzer finding fails the run.
SANITIZER_PACKAGES=(clang libclang-rt-14-dev valgrind)
# Headless Chromium for the tests of qs-view's page; where it cannot be
# installed, those tests are reported as skipped, with the reason.
BROWSER_PACKAGES=(chromium chromium-driver)
FUZZ_SECONDS=${QS_FUZZ_SECONDS:-30}

# Configures, builds and tests one preset; further arguments go to ctest.
preset_stage() {
  local preset=$1; shift
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$JOBS"
  ctest --preset "$preset" -j "$JOBS" "$@"
}

fuzz_stage() {
  local dir="$ROOT/build-fuzz" t
  cmake --preset fuzz
  cmake --build --preset fuzz -j "$JOBS"
  rm -rf "$dir/fuzz/smoke"
  mkdir -p "$dir/fuzz/smoke"
  for t in packet_reader video_conversion decoders recording; do
    local log="$dir/fuzz/smoke/$t.log"
    if ! "$ROOT/fuzz/run-fuzzer.sh" "$dir" "$t" "$FUZZ_SECONDS" "$dir/fuzz/smoke" > "$log" 2>&1; then
      tail -n 80 "$log"
      echo "fuzz target $t failed (log $log, input under $dir/fuzz/smoke/artifacts)"
      return 1
    fi
    grep -E '^(== fuzz|Done )|^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
  done
}

stage() {
  local name=$1; shift
  local start=$SECONDS
  echo "== stage: $name"
  "$@"
  echo "== stage done: $name ($((SECONDS - start)) s)"
}

cmd_test() {
  ensure_packages "${BASE_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SANITIZER_PACKAGES[@]}" \
                  "${WINDOWS_PACKAGES[@]}"
  ensure_packages --optional "${BROWSER_PACKAGES[@]}"
  ensure_wine32
  local start=$SECONDS
  stage "normal build and tests" preset_stage default
  stage "AddressSanitizer + UndefinedBehaviorSanitizer" preset_stage asan
  stage "ThreadSanitizer (threaded tests)" preset_stage tsan
  stage "fuzz smoke (${FUZZ_SECONDS} s per target)" fuzz_stage
  stage "Windows i686: QS.dll under 32-bit Wine" windows_stage i686 "$ROOT/build/tools/qs-sim"
  stage "Windows x86_64: QS.dll under 64-bit Wine" windows_stage x86_64 "$ROOT/build/tools/qs-sim"
  echo "== every test stage passed in $((SECONDS - start)) s"
}

cmd_demo() {
  ensure_packages "${BASE_PACKAGES[@]}"
  configure_and_build "$ROOT/build-demo" -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF
  exec bash "$ROOT/tools/demo.sh" "$ROOT/build-demo"
}

cmd_view() {
  ensure_packages "${BASE_PACKAGES[@]}"
  configure_and_build "$ROOT/build-demo" -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF
  exec bash "$ROOT/tools/demo.sh" --view "$ROOT/build-demo" "$@"
}

# ---- Windows -------------------------------------------------------------------
# QS.dll cross-built with mingw-w64 for 32-bit Windows in build-windows (the
# product: build-windows/bin/QS.dll), and from the same sources for 64-bit
# Windows in build-windows64. Each build runs its tests: the export and
# import tables of QS.dll, then unit tests, the C header test and host
# programs that load QS.dll, under Wine (the 32-bit loader for the 32-bit
# build) against a Linux qs-sim. Where this machine cannot execute 32-bit
# programs, the 32-bit build is still made and its tables checked, and its
# Wine tests are reported as skipped with the reason.
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libgtest-dev libgmock-dev
                  nlohmann-json3-dev wine wine64 nftables)
# Why the 32-bit Wine tests cannot run here (set by ensure_wine32), or empty.
WINE32_SKIP_REASON=

# Prints why this machine cannot run 32-bit Wine natively, or nothing when it
# can. The probe is a minimal static i386 program, so it needs no 32-bit
# package installed: it asks the kernel for uname and exits with 42 when the
# machine is x86_64 (a 64-bit kernel running it natively) and 43 otherwise
# (an emulator such as qemu-i386 registered with binfmt_misc answers i686;
# 32-bit Wine cannot map its shared memory under such an emulator and fails
# every test slowly). It is written into the build folder: /tmp may be noexec.
no_32bit_programs_reason() {
  local probe="$ROOT/build-windows/i386-probe" rc=0
  mkdir -p "$ROOT/build-windows"
  python3 - "$probe" <<'EOF'
import struct, sys
code = bytes([0x81, 0xEC, 0x90, 0x01, 0, 0,            # sub esp, 400
              0x89, 0xE3,                              # mov ebx, esp
              0xB8, 122, 0, 0, 0, 0xCD, 0x80,          # newuname(ebx)
              0xBB, 42, 0, 0, 0,                       # mov ebx, 42
              0x80, 0xBC, 0x24, 4, 1, 0, 0, ord("x"),  # cmp machine[0], 'x'
              0x74, 0x05,                              # je exit
              0xBB, 43, 0, 0, 0,                       # mov ebx, 43
              0xB8, 1, 0, 0, 0, 0xCD, 0x80])           # exit: exit(ebx)
base, header, program_header = 0x08048000, 52, 32
size = header + program_header + len(code)
elf = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)  # 32-bit, little-endian
elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header + program_header,
                   header, 0, 0, header, program_header, 1, 0, 0, 0)
elf += struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)  # one R+X segment
with open(sys.argv[1], "wb") as out:
    out.write(elf + code)
EOF
  chmod +x "$probe"
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  case "$rc" in
    42) return 0 ;;
    43) echo "32-bit programs run here only under an emulator (a static i386 program" \
             "reads its machine as i686 from uname, as qemu-user reports it), and 32-bit" \
             "Wine does not run under one" ;;
    *) echo "this kernel does not execute 32-bit x86 programs (IA-32 emulation off or missing:" \
            "a static i386 program exited with status $rc, not 42), and the 32-bit Wine loader is one" ;;
  esac
}

# 32-bit Wine (wine32 of the i386 architecture) where this machine can run
# it: as root, adds the architecture and installs it; otherwise prints the
# commands. Sets WINE32_SKIP_REASON where it cannot run.
ensure_wine32() {
  WINE32_SKIP_REASON=$(no_32bit_programs_reason)
  if [ -n "$WINE32_SKIP_REASON" ]; then
    echo "== 32-bit Wine not installed: $WINE32_SKIP_REASON"
    return 0
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "32-bit Wine needs the i386 architecture. Add it and install 32-bit Wine with:"
      echo "  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y wine32:i386"
      exit 1
    fi
    echo "== adding the i386 architecture (for 32-bit Wine)"
    dpkg --add-architecture i386
    apt_get update
  fi
  ensure_packages wine32:i386
}

# Cross-builds QS.dll and its tests for `arch` (i686 or x86_64) and runs
# them; `sim` is the Linux qs-sim that the end-to-end tests stream from.
windows_stage() {
  local arch=$1 sim=$2 preset="windows-$1"
  cmake --preset "$preset" -DQS_SIM_EXECUTABLE="$sim"
  if [ "$arch" = i686 ] && [ -n "$WINE32_SKIP_REASON" ]; then
    # Only the DLL, whose tables are checked; the test programs could not run.
    cmake --build --preset windows-i686-dll -j "$JOBS"
    ctest --preset "$preset" -j "$JOBS"
    echo "== SKIPPED: the 32-bit Wine tests above, because $WINE32_SKIP_REASON"
    return 0
  fi
  cmake --build --preset "$preset" -j "$JOBS"
  ctest --preset "$preset" -j "$JOBS"
}

cmd_windows() {
  ensure_packages "${BASE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  ensure_wine32
  cmake -S "$ROOT" -B "$ROOT/build-windows-host" -G Ninja \
    -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF
  cmake --build "$ROOT/build-windows-host" -j "$JOBS" --target qs-sim
  local arch
  for arch in i686 x86_64; do
    stage "Windows $arch" windows_stage "$arch" "$ROOT/build-windows-host/tools/qs-sim"
  done
  echo "== 32-bit Windows library: $ROOT/build-windows/bin/QS.dll (import library build-windows/api/QS.dll.a)"
}

case "${1:-}" in
  test) cmd_test ;;
  demo) cmd_demo ;;
  view) shift; cmd_view "$@" ;;
  windows) cmd_windows ;;
  *) echo "usage: $0 demo|view|test|windows" >&2; exit 2 ;;
esac
