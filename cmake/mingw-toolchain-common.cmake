# Shared part of the mingw-w64 cross toolchains (toolchain-mingw-i686.cmake,
# toolchain-mingw-x86_64.cmake): set QS_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR,
# then include this file.
set(CMAKE_SYSTEM_NAME Windows)

# POSIX thread model: the win32 model of this GCC has no std::thread and no
# std::recursive_mutex.
set(CMAKE_C_COMPILER ${QS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QS_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${QS_MINGW_TRIPLE}-objdump)

# Target headers and libraries come from the mingw tree only; programs
# (Wine, the shell) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained binaries: libgcc, libstdc++ and winpthreads are linked in,
# so the DLL imports nothing but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Header-only libraries of the build machine (Boost, and nlohmann-json for
# the tests) are offered through a directory of symbolic links in the build
# tree: putting all of /usr/include on the path would mix the build
# machine's C library headers into the target's.
set(QS_MINGW_HOST_HEADERS ${CMAKE_BINARY_DIR}/mingw-host-headers)
foreach(lib boost nlohmann)
  if(EXISTS /usr/include/${lib} AND NOT EXISTS ${QS_MINGW_HOST_HEADERS}/${lib})
    file(MAKE_DIRECTORY ${QS_MINGW_HOST_HEADERS})
    file(CREATE_LINK /usr/include/${lib} ${QS_MINGW_HOST_HEADERS}/${lib} SYMBOLIC)
  endif()
endforeach()
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_INCLUDE_DIR ${QS_MINGW_HOST_HEADERS} CACHE PATH "Boost headers (symbolic link)")
