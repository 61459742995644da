# Cross-builds for 64-bit Windows with Debian's MinGW-w64 compilers, the POSIX threads
# variant (std::thread and std::mutex need it). Everything is linked statically, the C++
# runtime and winpthread included, so the executables need no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OSTRIVAN_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${OSTRIVAN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTRIVAN_MINGW}-g++-posix)

# Libraries and headers only from the target's tree (and the prefixes a project adds to
# this list); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${OSTRIVAN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs built for Windows run under Wine: gtest_discover_tests and ctest start
# them through it. wine64 is not on Debian's PATH; its loader is.
find_program(OSTRIVAN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(OSTRIVAN_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRIVAN_WINE64})
endif()
