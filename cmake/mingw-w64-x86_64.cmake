# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64). Executables are linked statically, so that they
# need no DLL besides those of Windows itself, and run under Wine when the
# build runs them (ctest, test discovery). The compilers of the POSIX
# threading model have std::mutex, which GoogleTest needs on Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(D88CUT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${D88CUT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${D88CUT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${D88CUT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${D88CUT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
