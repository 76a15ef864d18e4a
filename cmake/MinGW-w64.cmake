# Cross build for Windows x64 with Debian's MinGW-w64 (g++-mingw-w64-x86-64), the free
# compiler MATLAB supports on Windows:
#
#   cmake -S . -B build-windows --toolchain cmake/MinGW-w64.cmake -DCELLKIT_MATLAB_STANDIN=ON
#
# Programs and tests run under Wine (Debian's wine), as the build's emulator.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The POSIX-threads variant, whose libstdc++ has every thread facility; its threads library,
# winpthread, is linked in statically with the rest below.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthread go into every module, DLL and program: a user's machine
# has none of them. Each function and datum in a section of its own, so that a module keeps
# only what it calls (--gc-sections, cmake/MexModules.cmake).
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
# No link time in the PE headers either, so that two builds of one commit are the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

find_program(WINE_EXECUTABLE NAMES wine wine64)
if(WINE_EXECUTABLE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${WINE_EXECUTABLE}")
endif()
