#!/usr/bin/env bash
# Sets up a fresh machine, builds the system and runs Pellion as a service in
# the foreground, serving its configuration port (9999 unless the registry
# says otherwise). Ctrl-C (or SIGTERM from systemd) stops it cleanly.
#   VANTRY_PLATFORM_ROOT=/some/folder scripts/run.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
# Only the service and the tools are built; the folder stays configured as the
# tests want it.
cmake -S "$here" -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pellion quennel vantry-sc vantry-reg vantry-events vantry-ask
bin="$here/build/bin"
export VANTRY_PLATFORM_ROOT=${VANTRY_PLATFORM_ROOT:-$here/run-root}
echo "Platform root: $VANTRY_PLATFORM_ROOT"
# Installing twice is harmless: an existing service is left as it is.
"$bin/pellion" install || true
# The update front end goes where the scheduler starts it: the install folder.
"$bin/quennel" install-into-place
"$bin/vantry-reg" query 'HKLM\SYSTEM\CurrentControlSet\Services\Vantry SMTP Pellion' >/dev/null
echo "Pellion runs; from another terminal try:  $bin/vantry-ask get_server_type"
exec "$bin/vantry-sc" run "Vantry SMTP Pellion"
