#!/usr/bin/env bash
# Installs what the Windows stage needs from Debian's packages: Wine (32-bit)
# to run the programs, wixl and msitools to build and read the installer.
set -euo pipefail
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if ! command -v wixl >/dev/null 2>&1 || ! command -v msiinfo >/dev/null 2>&1; then
    echo "Installing: wixl msitools"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wixl msitools
fi
if command -v wine >/dev/null 2>&1 && dpkg -s wine32:i386 >/dev/null 2>&1; then
    exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
echo "Installing: wine wine32:i386"
$SUDO apt-get update -qq
# Console programs only: no fonts, no Gecko, no Mono.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wine wine32:i386
