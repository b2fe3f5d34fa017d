#!/usr/bin/env bash
# Sets up a fresh machine, builds the system, starts Drennic (the scanning
# service's stand-in) through the service manager and runs Pellion as a
# service in the foreground, serving its configuration port (9999 unless the
# registry says otherwise). Ctrl-C (or SIGTERM from systemd) stops Pellion
# cleanly, then Drennic is stopped too.
#   VANTRY_PLATFORM_ROOT=/some/folder scripts/run.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
# Only the service and the tools are built; the folder stays configured as the
# tests want it.
cmake -S "$here" -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pellion drennic quennel vantry-sc vantry-reg vantry-events vantry-ask
bin="$here/build/bin"
export VANTRY_PLATFORM_ROOT=${VANTRY_PLATFORM_ROOT:-$here/run-root}
echo "Platform root: $VANTRY_PLATFORM_ROOT"
# The programs are reached through a drive of the root, as an administrator maps
# one: Y: is the build's bin folder (the services' image paths lie there).
# Nothing else of the host is mapped, so no request reaches outside the root.
mkdir -p "$VANTRY_PLATFORM_ROOT/dosdevices"
ln -sfn "$bin" "$VANTRY_PLATFORM_ROOT/dosdevices/y:"
# Installing twice is harmless: an existing service is left as it is.
"$bin/drennic" install
"$bin/pellion" install || true
# The update front end goes where the scheduler starts it: the install folder.
"$bin/quennel" install-into-place
"$bin/vantry-reg" query 'HKLM\SYSTEM\CurrentControlSet\Services\Vantry SMTP Pellion' >/dev/null
# Drennic runs beside Pellion for as long as this script does.
stop_drennic() { "$bin/vantry-sc" stop "Vantry SMTP Drennic" >/dev/null 2>&1 || true; }
trap stop_drennic EXIT
"$bin/vantry-sc" start "Vantry SMTP Drennic" >/dev/null 2>&1 ||
    "$bin/vantry-sc" query "Vantry SMTP Drennic" | grep -q RUNNING
echo "Drennic serves \\\\.\\pipe\\DrennicConfig; what it received:  $bin/drennic record"
echo "Pellion runs; from another terminal try:  $bin/vantry-ask get_server_type"
# Pellion in the foreground; a Ctrl-C or a SIGTERM to this script becomes its
# stop control, and Drennic's stop follows when it has ended.
"$bin/vantry-sc" run "Vantry SMTP Pellion" &
pellion=$!
trap 'kill -TERM "$pellion" 2>/dev/null || true' INT TERM
status=0
while kill -0 "$pellion" 2>/dev/null; do
    wait "$pellion" || status=$?
done
exit $status
