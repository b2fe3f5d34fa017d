#!/usr/bin/env bash
# Installs Wine (32-bit) from Debian's packages, for the Windows stage.
set -euo pipefail
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
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
