#!/usr/bin/env bash
# Builds the Windows target (32-bit, i686-w64-mingw32 cross compiler) into a
# build folder: pellion.exe, kessla.dll, vantry-ask.exe, the test programs.
#   scripts/build-windows.sh [BUILD_DIR] [cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-win}
shift || true
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRY_TESTS=ON "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
