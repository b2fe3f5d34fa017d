#!/usr/bin/env bash
# Builds the Windows Installer package from a Windows build, with wixl
# (Debian's wixl package), and checks what it will do: which files it installs,
# which services it registers and how it controls them, which settings it
# writes and under which condition, which folders it makes, and that settings
# and folders outlive an uninstall.
#   packaging/windows/build-msi.sh WINDOWS_BIN_DIR OUT.msi [VERSION]
# VERSION defaults to 1.0.<number of commits>, so a later checkout builds a
# package that upgrades an earlier one.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "$1" && pwd)
out=$2
version=${3:-1.0.$(git -C "$here" rev-list --count HEAD 2>/dev/null || echo 0)}
for f in pellion.exe kessla.dll ruvane.dll quennel.exe vantry.exe vantry-ask.exe drennic.exe; do
    [ -f "$bin/$f" ] || { echo "build-msi: $bin/$f is missing (build the Windows target first)" >&2; exit 1; }
done
# wixl looks for each file relative to the source's own folder: build from a
# work folder that holds the source and links to the programs.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/packaging/windows/vantry.wxs" "$work/"
ln -s "$bin" "$work/bin"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out"
(cd "$work" && wixl -a x86 -D Version="$version" -D BinDir=bin -o "$out" vantry.wxs)

# wixl takes neither a component's condition nor its permanence from the
# source: set them in the Component table. Each default setting is installed
# only when its registry search found no value, and stays at uninstall
# (permanent: 16); so do the mail folders.
defaults="DefaultConfigPort:HAVE_CONFIG_PORT DefaultAllowedClients:HAVE_ALLOWED_CLIENTS
DefaultServerType:HAVE_SERVER_TYPE DefaultInstallPath:HAVE_INSTALL_PATH
DefaultSupportedAttachments:HAVE_SUPPORTED_ATTACHMENTS DefaultQuarantinePath:HAVE_QUARANTINE_PATH
DefaultLogPath:HAVE_LOG_PATH DefaultBlockedPath:HAVE_BLOCKED_PATH DefaultFilterPath:HAVE_FILTER_PATH
DefaultDeferredPath:HAVE_DEFERRED_PATH"
queries=()
for pair in $defaults; do
    queries+=(-q "UPDATE Component SET Condition = 'NOT ${pair#*:}', Attributes = 20 WHERE Component = '${pair%%:*}'")
done
for c in QuarantineFolder LogFolder BlockedFolder FilterFolder DeferredFolder; do
    queries+=(-q "UPDATE Component SET Attributes = 16 WHERE Component = '$c'")
done
msibuild "$out" "${queries[@]}"

# What the package holds, table by table (msiinfo from msitools).
fail() { echo "build-msi: $out: $*" >&2; exit 1; }
table() { msiinfo export "$out" "$1" | tr -d '\r' | tail -n +4; }
files=$(table File | cut -f3 | sed "s/.*|//" | sort | tr "\n" " ")
[ "$files" = "drennic.exe kessla.dll pellion.exe quennel.exe ruvane.dll vantry-ask.exe vantry.exe " ] ||
    fail "files: $files"
services=$(table ServiceInstall)
for s in "Vantry SMTP Pellion	Corvane Vantry SMTP Pellion" "Vantry SMTP Drennic	Corvane Vantry SMTP Drennic"; do
    # Own process (16), demand start (3), normal errors (1).
    echo "$services" | grep -q "	$s	16	3	1	" || fail "no service '$s' (own process, demand start): $services"
done
# Stop at install and uninstall (2 + 32), remove at uninstall (128), and wait.
controls=$(table ServiceControl)
[ "$(echo "$controls" | grep -c '	162		1	')" -eq 2 ] || fail "service controls: $controls"
registry=$(table Registry)
[ "$(echo "$registry" | wc -l)" -eq 10 ] || fail "registry values: $registry"
# Every setting's component is permanent (16) and installed only where the
# value is missing; the folders' components are permanent too.
components=$(table Component)
for c in $(table Registry | cut -f6) QuarantineFolder LogFolder BlockedFolder FilterFolder DeferredFolder; do
    line=$(echo "$components" | grep "^$c	") || fail "no component $c"
    attributes=$(echo "$line" | cut -f4)
    [ $((attributes & 16)) -eq 16 ] || fail "component $c is not permanent: $line"
done
# Each value's condition names the search of that same value: key and name.
searches=$(table AppSearch)
locators=$(table RegLocator)
while IFS=$'\t' read -r _ root key name _ c; do
    property=$(echo "$components" | grep "^$c	" | cut -f5 | sed -n 's/^NOT //p')
    [ -n "$property" ] || fail "component $c writes $name unconditionally"
    signature=$(echo "$searches" | grep "^$property	" | cut -f2)
    echo "$locators" | grep -qF "$signature	$root	$key	$name	" ||
        fail "$name is written when the search $property ($signature) finds nothing, which does not look for it"
done < <(table Registry)
# Every component belongs to a feature, or it is never installed.
for c in $(echo "$components" | cut -f1); do
    table FeatureComponents | grep -q "	$c\$" || fail "component $c is in no feature"
done
[ "$(table AppSearch | grep -c '^HAVE_')" -eq 10 ] || fail "registry searches: $(table AppSearch)"
[ "$(table CreateFolder | wc -l)" -eq 5 ] || fail "mail folders: $(table CreateFolder)"
table Upgrade | grep -q '5B1E6C2A-0D7E-4C59-9E31-7A3F2C8D4E61' || fail "no major upgrade"
echo "build-msi: $out (version $version): 7 files, 2 services, 10 settings where missing, 5 mail folders"
