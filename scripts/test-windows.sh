#!/usr/bin/env bash
# The Windows stage: builds the 32-bit Windows target and runs it under Wine,
# in a fresh Wine prefix inside the build folder.
#   1. the Windows test programs (platform layer, Kessla, registry wrapper,
#      settings) through ctest, each program under Wine;
#   2. Pellion end to end: pellion.exe install, started and stopped with Wine's
#      sc, requests over TCP from the Linux client and from vantry-ask.exe, its
#      events from Wine's event log, its settings read with Wine's reg.
#
#   scripts/test-windows.sh [WINDOWS_BUILD_DIR] [LINUX_BUILD_DIR]
# The Linux build folder (default build/) provides the Linux client; it is
# built here (vantry-ask only) if it is missing.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=$(mkdir -p "${1:-$here/build-win}" && cd "${1:-$here/build-win}" && pwd)
linux=${2:-$here/build}
started=$(date +%s)

bash scripts/setup-wine.sh
echo "== Windows build (i686-w64-mingw32)"
bash scripts/build-windows.sh "$build"
if [ ! -x "$linux/bin/vantry-ask" ]; then
    cmake -S "$here" -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$linux" -j"$(nproc)" --target vantry-ask
fi

echo "== Windows Installer package"
bash packaging/windows/build-msi.sh "$build/bin" "$build/vantry-smtp.msi"

# Wine runs 32-bit Windows programs as 32-bit Linux processes. Some kernels
# (virtual machines built without 32-bit compatibility, or with it turned off)
# refuse to execute those: then nothing of the Windows target can run here.
# The build above still proves that everything compiles for Windows; the stage
# says plainly what it could not run, and the summary counts it as skipped.
if ! out=$(/lib/ld-linux.so.2 --version 2>&1 </dev/null); then
    echo "windows stage: SKIPPED the programs under Wine: this machine's kernel does not execute" \
         "32-bit programs (/lib/ld-linux.so.2: ${out##*: }); the Windows build above compiled and" \
         "linked, nothing of it ran"
    exit 77
fi

# No display, no debug output but what a step asks for, no Gecko/Mono
# installers, a 32-bit prefix of our own.
export WINEPREFIX="$build/wine-prefix" WINEARCH=win32 WINEDEBUG=-all DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml="
logs="$build/wine-logs"
wine_bin="$build/bin"

fail() {
    echo "windows stage: FAILED: $*" >&2
    exit 1
}
trap 'echo "windows stage: FAILED at line $LINENO: $BASH_COMMAND" >&2' ERR

if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
fi
rm -rf "$WINEPREFIX" "$logs"
mkdir -p "$logs"
echo "== fresh Wine prefix"
timeout 300 wineboot -i >"$logs/wineboot.log" 2>&1 || fail "wineboot (see $logs/wineboot.log)"
# Start again, so that the prefix's services (among them the event log) run
# with the event-log channel of Wine's debug output turned on: Wine keeps no
# event log records, it writes each reported event to that channel.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

# Wine stops the services of a prefix when its last user process exits: one
# console process waits on a pipe this script holds open until it ends.
keeper_in="$logs/keeper.in"
mkfifo "$keeper_in"
WINEDEBUG=-all,trace+eventlog,warn+eventlog,err+eventlog,fixme+advapi \
    wine cmd /c pause <"$keeper_in" >"$logs/keeper.out" 2>"$logs/events.log" &
keeper=$!
exec 9>"$keeper_in"
cleanup() {
    exec 9>&- || true
    wineserver -k 2>/dev/null || true
    wait "$keeper" 2>/dev/null || true
}
trap cleanup EXIT
# The keeper must be the prefix's first process (the services start with its
# environment and its standard error): nothing else runs under Wine until its
# "pause" prompt shows, and the event log service has started.
for _ in $(seq 1 120); do
    [ -s "$logs/keeper.out" ] && grep -q 'starting Event Log Service' "$logs/events.log" && break
    sleep 0.5
done
grep -q 'starting Event Log Service' "$logs/events.log" ||
    fail "the prefix's services did not start with the keeper (see $logs/events.log)"

echo "== Windows test programs under Wine"
(cd "$build" && ctest --output-on-failure --no-tests=error --timeout 300)

echo "== Pellion end to end under Wine"
svc="Vantry SMTP Pellion"
key='HKLM\Software\Corvane\Ostel\Vantry SMTP\Pellion'

# Waits until sc reports the service in STATE ($2), at most 60 s.
wait_state() {
    local out=""
    for _ in $(seq 1 120); do
        out=$(wine sc query "$1" 2>&1 | tr -d '\r') || true
        if echo "$out" | grep -q "STATE *: *[0-9]* *$2"; then
            return 0
        fi
        sleep 0.5
    done
    echo "$out" >&2
    fail "service '$1' never reached $2"
}

# A TCP port nobody listens on.
free_port() {
    local p
    for p in $(shuf -i 20000-40000 -n 50); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    fail "no free port"
}

# A console start is not a service start: the dispatcher fails with 1063 and
# Pellion says so in the event log, and exits 1.
status=0
WINEDEBUG=-all,trace+eventlog,err+eventlog wine "$wine_bin/pellion.exe" >"$logs/console.out" \
    2>"$logs/console.err" || status=$?
[ "$status" -eq 1 ] || fail "pellion.exe from a console exited $status, expected 1"
grep -q 'StartServiceCtrlDispatcher failed' "$logs/console.err" ||
    fail "no 'StartServiceCtrlDispatcher failed' event from a console start"

out=$(wine "$wine_bin/pellion.exe" install | tr -d '\r') || fail "pellion.exe install: $out"
[ "$out" = "Corvane Vantry SMTP Pellion installed." ] || fail "install said: $out"
services_key='HKLM\System\CurrentControlSet\Services\Vantry SMTP Pellion'
reg=$(wine reg query "$services_key" | tr -d '\r') || fail "no service key: $reg"
# (Windows writes ImagePath as REG_EXPAND_SZ, Wine as REG_SZ.)
echo "$reg" | grep -Eqi 'ImagePath +REG_(EXPAND_)?SZ +.*\\bin\\pellion\.exe$' || fail "service key: $reg"
echo "$reg" | grep -Eq 'Start +REG_DWORD +0x3$' || fail "service start type: $reg"
echo "$reg" | grep -Eq 'Type +REG_DWORD +0x10$' || fail "service type: $reg"

port=$(free_port)
wine reg add "$key" /v Config_Port /t REG_DWORD /d "$port" /f >/dev/null || fail "reg add Config_Port"
wine reg add "$key" /v Allowed_Clients /t REG_SZ /d "mailhost,localhost" /f >/dev/null ||
    fail "reg add Allowed_Clients"
out=$(wine sc start "$svc" 2>&1 | tr -d '\r') || fail "sc start: $out"
wait_state "$svc" RUNNING

# From Linux: the exact bytes of the reply.
reply=$("$linux/bin/vantry-ask" --raw --port "$port" get_server_type | od -An -c | tr -s ' ') ||
    fail "Linux client: $reply"
[ "$reply" = " N T _ S M T P \r \n" ] || fail "Linux client got: $reply"
# From Windows (the console adds nothing but may turn the line end into CR LF).
reply=$(wine "$wine_bin/vantry-ask.exe" --port "$port" get_server_type | tr -d '\r') ||
    fail "Windows client: $reply"
[ "$reply" = "NT_SMTP" ] || fail "Windows client got: $reply"

# A client the list does not name is refused, and the refusal is logged.
wine reg add "$key" /v Allowed_Clients /t REG_SZ /d "mailhost" /f >/dev/null ||
    fail "reg add Allowed_Clients"
status=0
reply=$("$linux/bin/vantry-ask" --port "$port" get_server_type 2>/dev/null | tr -d '\r') || status=$?
[ "$status" -eq 3 ] && [ "$reply" = "ACCESS_DENIED" ] ||
    fail "refused client: exit $status, reply '$reply'"

# Pellion made the scanner's settings key it reads, and left its own values.
wine reg query 'HKLM\Software\Corvane\Ostel\Vantry SMTP\Drennic' >/dev/null ||
    fail "Pellion did not create the Drennic settings key"
reg=$(wine reg query "$key" | tr -d '\r') || fail "no settings key: $reg"
echo "$reg" | grep -Eq "Config_Port +REG_DWORD +0x$(printf '%x' "$port")$" || fail "settings: $reg"
echo "$reg" | grep -Eq 'Allowed_Clients +REG_SZ +mailhost$' || fail "settings: $reg"

out=$(wine sc stop "$svc" 2>&1 | tr -d '\r') || fail "sc stop: $out"
wait_state "$svc" STOPPED

# Its events, in the order reported: information for start and stop, a
# warning for the refused client; event ID 0xC0000004, source "Pellion".
events=$(grep -a 'eventlog:ReportEventW\|advapi:ReportEventA\|RegisterEventSourceA' "$logs/events.log" | tr -d '\r')
echo "$events" | grep -q 'RegisterEventSourceA ((null),"Pellion")' || fail "no event source Pellion: $events"
echo "$events" | grep -q 'ReportEventA (.*,0x0004,0x0000,0xc0000004,' || fail "no information event: $events"
echo "$events" | grep -q 'ReportEventA (.*,0x0002,0x0000,0xc0000004,' || fail "no warning event: $events"
texts=$(echo "$events" | sed -n 's/.*eventlog:ReportEventW L"\(.*\)"$/\1/p')
expected="Startup request for Corvane, Inc. Vantry SMTP CONFIGURATION Service
Unauthorized configuration client 'localhost' attempted to remotely configure this Vantry Server.
Shutdown request for Corvane, Inc. Vantry SMTP CONFIGURATION Service"
[ "$texts" = "$expected" ] || fail "events were:
$texts"
echo "$events" | grep -q "warn:eventlog:ReportEventW L\"Unauthorized" || fail "refusal not a warning"

out=$(wine "$wine_bin/pellion.exe" remove | tr -d '\r') || fail "pellion.exe remove: $out"
[ "$out" = "Corvane Vantry SMTP Pellion removed." ] || fail "remove said: $out"
if wine sc query "$svc" >/dev/null 2>&1; then
    fail "service still installed after remove"
fi

echo "== Windows stage passed in $(($(date +%s) - started)) s"
