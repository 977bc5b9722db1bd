# Cross build of a 64-bit Windows QS.dll from the same sources (apt-get
# install g++-mingw-w64-x86-64). The product is the 32-bit DLL
# (toolchain-mingw-i686.cmake); this build runs the same Windows tests
# under 64-bit Wine, also where the machine cannot execute 32-bit code.
set(QS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
