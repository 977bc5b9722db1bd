# Cross build of the 32-bit Windows library QS.dll and its Windows test
# programs with Debian's mingw-w64 compilers (apt-get install
# g++-mingw-w64-i686):
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
#         -DQS_BUILD_BENCH=OFF -DQS_BUILD_TOOLS=OFF
# ./run.sh test (and ./run.sh windows alone) does this, builds and runs the
# tests under 32-bit Wine.
set(QS_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
