#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks:
#   scripts/setup.sh run    to build and run the services and tools (scripts/run.sh)
#   scripts/setup.sh        everything the tests need as well (scripts/test.sh):
#                           the test and benchmark libraries, clang for the fuzzers,
#                           the Windows cross compiler, systemd-analyze for the
#                           install test. Wine comes with scripts/setup-wine.sh.
set -euo pipefail
run_packages=(cmake make g++ libsqlite3-dev grep procps util-linux pkg-config libgmime-3.0-dev
              nlohmann-json3-dev libcli11-dev)
test_packages=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev sqlite3
               g++-mingw-w64-i686 systemd)
case ${1:-test} in
run) packages=("${run_packages[@]}");;
test) packages=("${run_packages[@]}" "${test_packages[@]}");;
*) echo "usage: scripts/setup.sh [run|test]" >&2; exit 2;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
