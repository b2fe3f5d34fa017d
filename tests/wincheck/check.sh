#!/bin/sh
# Compiles the seam check: for Windows with the cross compiler against the real
# <windows.h> and <winsock.h>, or natively against the POSIX declarations (once
# as is, once with the system socket headers read before the seam, as code that
# includes both does).
#   check.sh [repo] [windows|posix] [compiler]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=${1:-$(cd "$here/../.." && pwd)}
target=${2:-windows}
flags="-std=c++17 -Wall -Wextra -Werror -fsyntax-only -I$repo"
source="$repo/tests/wincheck/seam_check.cpp"
case "$target" in
windows)
    cxx=${3:-i686-w64-mingw32-g++}
    $cxx $flags "$source"
    # The system's own code, too: it reaches the operating system only through
    # the seam, so it must build against the real Windows headers and
    # libraries. Pellion and Kessla are linked as the Windows target ships
    # them; the tools are compiled.
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    windres=${cxx%g++}windres
    link="-std=c++17 -O1 -Wall -Wextra -Werror -I$repo -static-libgcc -static-libstdc++"
    $cxx $link -DKESSLA_BUILD -shared "$repo"/filter/*.cpp -o "$out/kessla.dll"
    $windres -I"$repo" "$repo/pellion/pellion.rc" -O coff -o "$out/pellion_res.o"
    pellion_sources=$(find "$repo/pellion" "$repo/config" "$repo/store" "$repo/update" \
        "$repo/service" "$repo/regkey" -name '*.cpp' 2>/dev/null | sort)
    # Pellion carries its rules as Kessla's CRule: it links against the DLL.
    $cxx $link $pellion_sources \
        "$out/pellion_res.o" "$out/kessla.dll" -o "$out/pellion.exe" -static -lwsock32 -ladvapi32
    # The stand-in scanning service is a Windows service program too.
    $cxx $link "$repo"/peers/drennic/*.cpp "$repo/regkey/RegKey.cpp" \
        -o "$out/drennic.exe" -static -ladvapi32
    for file in "$repo"/tools/*.cpp; do
        $cxx $flags "$file"
    done
    # Quennel, the update front end's stand-in, is linked as quennel.exe.
    $cxx $link "$repo/peers/quennel/quennel.cpp" "$repo/regkey/RegKey.cpp" \
        -o "$out/quennel.exe" -static -ladvapi32
    ;;
posix)
    cxx=${3:-g++}
    $cxx $flags "$source"
    $cxx $flags -include sys/socket.h -include netinet/in.h -include arpa/inet.h \
        -include netdb.h -include sys/select.h -include unistd.h -include functional "$source"
    ;;
*)
    echo "usage: $0 [repo] [windows|posix] [compiler]" >&2
    exit 2
    ;;
esac
echo "seam compiles for $target"
