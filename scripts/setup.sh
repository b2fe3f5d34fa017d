#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the system.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev sqlite3 g++-mingw-w64-i686 grep procps libgmime-3.0-dev pkg-config
          nlohmann-json3-dev libcli11-dev)
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
