# The Windows target: 32-bit Windows programs built with Debian's MinGW-w64
# cross compiler (win32 thread model).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The programs are linked with the compiler's runtime inside them, so that
# pellion.exe, kessla.dll and the tools run on a bare Windows machine (or
# under Wine) without a MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VANTRY_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTRY_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VANTRY_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VANTRY_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTRY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the test programs under Wine when it is there; the build itself
# never needs it.
find_program(VANTRY_WINE wine)
if(VANTRY_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTRY_WINE})
endif()
