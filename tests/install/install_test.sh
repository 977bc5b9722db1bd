#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR LIBDIR GENERATOR CC PYTHON
# Installs BUILD_DIR into a temporary prefix and checks that the result can be
# used: files and SONAME in place, examples/c configured and built with
# find_package(QS), a compile through pkg-config, the Python package finding
# the installed library, all of it still working after the prefix is moved,
# and (in a private network namespace, where one can be made) the installed
# qs-sim serving the installed example and qs-stream.
set -euo pipefail
BUILD=$1 SOURCE=$2 LIBDIR=$3 GENERATOR=$4 CC=$5 PYTHON=${6:-python3}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qs-install-test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_file() { [ -e "$1" ] || fail "missing $1"; }

echo "== cmake --install into $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" > "$WORK/install.log"

for f in "$LIBDIR/libQS.so" "$LIBDIR/libQS.so.1" "$LIBDIR/libQS.so.1.0.0" include/QS.h \
         bin/qs-sim bin/qs-stream bin/qs-record bin/qs-export bin/qs-view "$LIBDIR/cmake/QS/QSConfig.cmake" \
         "$LIBDIR/cmake/QS/QSConfigVersion.cmake" "$LIBDIR/pkgconfig/qs.pc" \
         lib/python3/dist-packages/qs/__init__.py lib/python3/dist-packages/qs/_install_paths.py; do
  check_file "$PREFIX/$f"
done
[ -L "$PREFIX/$LIBDIR/libQS.so" ] || fail "libQS.so is not a link to the versioned file"
soname=$(objdump -p "$PREFIX/$LIBDIR/libQS.so.1.0.0" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libQS.so.1" ] || fail "SONAME is '$soname', expected libQS.so.1"
# Only the library's own folder or the origin-relative one in the tools' run path.
# (Outputs are captured before they are searched: with pipefail, a grep -q
# that stops reading early can fail the pipeline through the writer's SIGPIPE.)
runpath=$(objdump -p "$PREFIX/bin/qs-stream" | grep -E 'R(UN)?PATH' || true)
if [[ "$runpath" == *"$BUILD"* ]]; then
  fail "installed qs-stream still refers to the build folder"
fi
[ -z "$(find "$PREFIX" -name __pycache__)" ] || fail "__pycache__ installed"

# Moving the prefix must not break anything below: every path is relative.
mv "$PREFIX" "$WORK/moved"
PREFIX=$WORK/moved

echo "== examples/c with find_package(QS)"
cmake -S "$SOURCE/examples/c" -B "$WORK/example" -G "$GENERATOR" -DCMAKE_C_COMPILER="$CC" \
      -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF > "$WORK/example-configure.log" \
  || { cat "$WORK/example-configure.log"; fail "configuring examples/c"; }
cmake --build "$WORK/example" > "$WORK/example-build.log" \
  || { cat "$WORK/example-build.log"; fail "building examples/c"; }
grep -q "QS_DIR:PATH=$PREFIX/$LIBDIR/cmake/QS" "$WORK/example/CMakeCache.txt" \
  || fail "find_package(QS) did not find the installed package"
libraries=$(ldd "$WORK/example/qs_example")
[[ "$libraries" == *"libQS.so.1 => $PREFIX/$LIBDIR/libQS.so.1 "* ]] \
  || { echo "$libraries"; fail "qs_example does not load the installed libQS.so.1"; }

echo "== pkg-config"
if ! command -v pkg-config > /dev/null; then
  fail "pkg-config is not installed (Debian package pkgconf)"
else
  export PKG_CONFIG_PATH=$PREFIX/$LIBDIR/pkgconfig
  version=$(pkg-config --modversion qs) || fail "pkg-config does not know qs"
  [ "${version:-}" = "1.0.0" ] || fail "pkg-config version '${version:-}'"
  flags=$(pkg-config --cflags --libs qs) || fail "pkg-config --cflags --libs qs"
  echo "pkg-config --cflags --libs qs: $flags"
  libdir=$(pkg-config --variable=libdir qs)
  [ "$(cd "$libdir" && pwd -P)" = "$(cd "$PREFIX/$LIBDIR" && pwd -P)" ] || fail "pkg-config libdir '$libdir'"
  # shellcheck disable=SC2086
  "$CC" -Wall -Wextra -o "$WORK/pc_example" "$SOURCE/examples/c/main.c" $flags -Wl,-rpath,"$libdir" \
    || fail "compiling examples/c/main.c with pkg-config's flags"
fi

echo "== Python package"
found=$(env -u QS_LIBRARY PYTHONPATH="$PREFIX/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
        "$PYTHON" -c 'import os, qs; print(os.path.realpath(qs.load_library()._name))') \
  || fail "importing the installed qs package"
[ "${found:-}" = "$(realpath "$PREFIX/$LIBDIR/libQS.so.1.0.0")" ] || fail "qs loaded '${found:-}'"

echo "== installed tools and examples against each other"
"$PREFIX/bin/qs-stream" --help > /dev/null || fail "installed qs-stream does not start"
"$PREFIX/bin/qs-view" --help > /dev/null || fail "installed qs-view does not start"
set +e
PYTHONDONTWRITEBYTECODE=1 "$SOURCE/tests/netns-run.sh" bash -c '
  set -u
  prefix=$1 work=$2 python=$3
  "$prefix/bin/qs-sim" --quiet --frames 2000 &
  sim=$!
  trap "kill $sim 2>/dev/null; wait $sim 2>/dev/null" EXIT
  for i in $(seq 100); do "$prefix/bin/qs-stream" --frames 1 > /dev/null 2>&1 && break; sleep 0.05; done
  status=0
  "$work/example/qs_example" 127.0.0.1 3 > "$work/run-example.txt" || status=1
  if [ -x "$work/pc_example" ]; then "$work/pc_example" 127.0.0.1 2 > "$work/run-pc.txt" || status=1; fi
  "$prefix/bin/qs-stream" --frames 5 > "$work/run-stream.txt" || status=1
  PYTHONPATH=$prefix/lib/python3/dist-packages "$python" -c "
import qs
with qs.Client() as c:
    c.wait_for_frame()
    print(c.subjects())
" > "$work/run-python.txt" || status=1
  exit $status' netns "$PREFIX" "$WORK" "$PYTHON"
status=$?
set -e
if [ $status -eq 77 ]; then
  echo "note: no private network namespace here; the installed programs were not run against qs-sim"
elif [ $status -ne 0 ]; then
  fail "running the installed programs against the installed qs-sim (status $status)"
  cat "$WORK"/run-*.txt 2>/dev/null || true
else
  [ "$(grep -c '^frame ' "$WORK/run-example.txt")" = 3 ] || fail "qs_example did not print 3 frames"
  [ ! -x "$WORK/pc_example" ] || [ "$(grep -c '^frame ' "$WORK/run-pc.txt")" = 2 ] || fail "pc_example did not print 2 frames"
  grep -q "5 frames received" "$WORK/run-stream.txt" || fail "installed qs-stream did not receive 5 frames"
  grep -q "Walker" "$WORK/run-python.txt" || fail "installed Python package did not read the scene"
  sed -n 1p "$WORK/run-example.txt"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install and consume: all checks passed"
