#!/bin/sh
# The seam check. For Windows it is the Windows build itself
# (scripts/build-windows.sh: every deliverable and test program, with the
# seam check among them, built with the cross compiler against the real
# <windows.h> and <winsock.h>). Natively it compiles the seam against the
# POSIX declarations, once as is, once with the system socket headers read
# before the seam, as code that includes both does.
#   check.sh [repo] [windows|posix] [compiler]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=${1:-$(cd "$here/../.." && pwd)}
target=${2:-windows}
flags="-std=c++17 -Wall -Wextra -Werror -fsyntax-only -I$repo"
source="$repo/tests/wincheck/seam_check.cpp"
case "$target" in
windows)
    bash "$repo/scripts/build-windows.sh" "${VANTRY_WINDOWS_BUILD:-$repo/build-win}"
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
