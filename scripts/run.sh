#!/usr/bin/env bash
# Sets up what running needs, builds the services and the tools, starts Drennic
# (the scanning service's stand-in) through the service manager and runs
# Pellion as a service in the foreground, serving its configuration port.
# Ctrl-C (or SIGTERM from systemd) stops Pellion cleanly, then Drennic.
#
#   scripts/run.sh [--root DIR] [--port N] [--allowed-clients LIST]
#
# --root: the platform root (default: $VANTRY_PLATFORM_ROOT, else run-root/);
# --port: Pellion's Config_Port, set before Pellion starts (kept in the root's
# registry for the next runs; 9999 when never set); --allowed-clients: its
# Allowed_Clients. One run.sh serves a root at a time: a second one on the same
# root refuses at once and leaves the first one running.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
usage() { sed -n '7s/^# *//p' "$0" >&2; exit 2; }
root=${VANTRY_PLATFORM_ROOT:-$here/run-root}
setup_args=()
while [ $# -gt 0 ]; do
    case $1 in
    --root) [ $# -ge 2 ] || usage; root=$2; shift 2;;
    --port|--allowed-clients) [ $# -ge 2 ] || usage; setup_args+=("$1" "$2"); shift 2;;
    -h|--help) sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 0;;
    *) echo "run.sh: unknown argument '$1'" >&2; usage;;
    esac
done
mkdir -p "$root" || { echo "run.sh: cannot make the platform root $root" >&2; exit 1; }
root=$(cd "$root" && pwd)
export VANTRY_PLATFORM_ROOT=$root

# One run.sh per root, decided before anything else is touched: the lock is
# held by this shell alone (the services it starts do not inherit it) and goes
# with it, however it ends.
exec 9<>"$root/run.lock"
if ! flock -n 9; then
    echo "run.sh: the platform root $root is served by another run.sh (process $(head -n1 "$root/run.lock" 2>/dev/null || echo '?'))." >&2
    echo "run.sh: nothing was changed; stop that one first (Ctrl-C in its terminal), or give this one another --root." >&2
    exit 1
fi
echo $$ >"$root/run.lock"

bash scripts/setup.sh run 9>&-
# Only the services and the tools are built. A fresh build folder is set up
# without the tests (their libraries are not installed for running); an
# existing one keeps its settings.
if [ -f build/CMakeCache.txt ]; then
    cmake -S "$here" -B build >/dev/null 9>&-
else
    cmake -S "$here" -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRY_TESTS=OFF -DVANTRY_BENCH=OFF >/dev/null 9>&-
fi
cmake --build build -j"$(nproc)" --target pellion drennic quennel vantry-sc vantry-reg vantry-events vantry-ask 9>&-
bin="$here/build/bin"

# A Pellion started otherwise (systemd, vantry-sc) in this root holds its port.
if "$bin/vantry-sc" query "Vantry SMTP Pellion" 2>/dev/null | grep -q RUNNING; then
    echo "run.sh: Pellion already runs in the platform root $root (started by systemd or vantry-sc?); nothing was changed." >&2
    exit 1
fi
# The services installed when missing, the update front end in its place, and
# the port and the allowed clients when given.
"$bin/vantry-setup" "${setup_args[@]}" 9>&-
port=$("$bin/vantry-reg" query 'HKLM\Software\Corvane\Ostel\Vantry SMTP\Pellion' /v Config_Port 2>/dev/null |
       sed -n 's/.*REG_DWORD *0x\([0-9a-fA-F]*\).*/\1/p')
port=${port:+$((16#$port & 0xFFFF))}
echo "Platform root: $root"
if [ -n "$port" ]; then
    echo "Port: $port (Config_Port in the root's registry)"
else
    echo "Port: 9999 (Config_Port not set: the default)"
fi

# Drennic runs beside Pellion for as long as this script does.
stop_drennic() { "$bin/vantry-sc" stop "Vantry SMTP Drennic" >/dev/null 2>&1 9>&- || true; }
trap stop_drennic EXIT
"$bin/vantry-sc" start "Vantry SMTP Drennic" >/dev/null 2>&1 9>&- ||
    "$bin/vantry-sc" query "Vantry SMTP Drennic" | grep -q RUNNING
echo "Drennic serves \\\\.\\pipe\\DrennicConfig; what it received:  VANTRY_PLATFORM_ROOT=$root $bin/drennic record"
echo "Pellion runs; from another terminal try:  VANTRY_PLATFORM_ROOT=$root $bin/vantry-ask get_server_type"
# Pellion in the foreground; a Ctrl-C or a SIGTERM to this script becomes its
# stop control, and Drennic's stop follows when it has ended.
"$bin/vantry-sc" run "Vantry SMTP Pellion" 9>&- &
pellion=$!
trap 'kill -TERM "$pellion" 2>/dev/null || true' INT TERM
status=0
while kill -0 "$pellion" 2>/dev/null; do
    wait "$pellion" || status=$?
done
exit $status
