#!/usr/bin/env bash
# The installed tree, as an administrator gets it from `cmake --install`:
#   install_test.sh BUILD_DIR CXX [CLIENT_FLAGS]
# installs into a temporary prefix, checks that every piece is where the
# usual prefixes put it, verifies both systemd units with systemd-analyze,
# builds a client against the installed headers and libraries, then starts
# Drennic and Pellion from the installed programs exactly as the units do
# (their ExecStartPre and ExecStart lines, a temporary platform root, a free
# port) and asks them a request. Every wait is for an event; the deadlines are
# only there to end a hung run.
set -euo pipefail
build=$1
cxx=$2
client_flags=${3:-}
tmp=$(mktemp -d /tmp/vantry-install.XXXXXX)
prefix=$tmp/prefix
export VANTRY_PLATFORM_ROOT=$tmp/root
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -n "${VANTRY_KEEP_ROOT:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

echo "== cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "install"; }
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for f in bin/pellion bin/drennic bin/quennel bin/vantry-ask bin/vantry-reg bin/vantry-sc \
         bin/vantry-events bin/vantry-setup \
         "$libdir/libkessla.so" "$libdir/libruvane.so" "$libdir/libmarrish.a" "$libdir/libvremote.a" "$libdir/libvplatform.a" \
         include/vantry/filter/Kessla.h include/vantry/reactions/Ruvane.h \
         include/vantry/remote/marrish/Marrish.h include/vantry/remote/RemoteRequest.h include/vantry/platform/win32.h \
         include/vantry/platform/posix/types.h \
         share/man/man8/pellion.8 share/man/man8/drennic.8 share/man/man8/vantry-sc.8 \
         share/man/man8/vantry-reg.8 share/man/man8/vantry-events.8 share/man/man8/vantry-setup.8 \
         share/man/man1/vantry-ask.1 share/man/man1/vantry.1 bin/vantry \
         lib/systemd/system/vantry-drennic.service lib/systemd/system/vantry-pellion.service; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# The programs find their libraries in the prefix, not in the build tree.
if ldd "$prefix/bin/pellion" | grep -q "$build"; then fail "pellion still links the build tree"; fi
kessla=$(ldd "$prefix/bin/pellion" | sed -n 's/.*libkessla.so => \([^ ]*\).*/\1/p')
[ -n "$kessla" ] && [ "$(realpath "$kessla")" = "$(realpath "$prefix/$libdir/libkessla.so")" ] ||
    fail "pellion does not find the installed Kessla (it finds '$kessla')"
echo "installed: programs, libraries, headers, man pages and units under $prefix"

units=("$prefix/lib/systemd/system/vantry-drennic.service" "$prefix/lib/systemd/system/vantry-pellion.service")
for u in "${units[@]}"; do
    for line in '^\[Unit\]$' '^\[Service\]$' '^\[Install\]$' '^StateDirectory=vantry$' \
                '^Environment=VANTRY_PLATFORM_ROOT=%S/vantry$' '^Restart=on-failure$' \
                "^ExecStartPre=$prefix/bin/vantry-setup\$" "^ExecStart=$prefix/bin/vantry-sc run \"Vantry SMTP "; do
        grep -q "$line" "$u" || fail "$(basename "$u") lacks $line"
    done
done
grep -q '^Before=vantry-pellion.service$' "${units[0]}" || fail "Drennic is not ordered before Pellion"
grep -q '^After=vantry-drennic.service' "${units[1]}" || fail "Pellion does not start after Drennic"
echo "== systemd-analyze verify"
# The units' Documentation= pages are looked up, in the prefix's man pages too
# (without man on the machine there is nothing to look them up with).
man_check=--man=yes
command -v man >/dev/null || man_check=--man=no
if ! MANPATH="$prefix/share/man:" systemd-analyze verify "$man_check" "${units[@]}" >"$tmp/verify.log" 2>&1; then
    cat "$tmp/verify.log"; fail "systemd-analyze verify"
fi
# It reports some findings without failing; none is expected here.
if grep -v '^$' "$tmp/verify.log"; then fail "systemd-analyze verify had findings"; fi
echo "systemd-analyze verify: both units clean"

echo "== a client built against the installed interfaces"
"$cxx" $client_flags -std=c++17 -Wall -Werror -I"$prefix/include/vantry" "$(dirname "$0")/client.cpp" \
    -o "$tmp/client" -L"$prefix/$libdir" -lmarrish -lvremote -lvplatform -lkessla -lruvane -lsqlite3 \
    -pthread -ldl -Wl,-rpath,"$prefix/$libdir" || fail "the client does not build"

# A unit's command lines, for the shell: ExecStartPre then ExecStart.
unit_line() { sed -n "s/^$2=//p" "$1"; }
echo "== the services from the installed tree, as the units start them"
eval "$(unit_line "${units[1]}" ExecStartPre)" || fail "ExecStartPre"
[ -d "$VANTRY_PLATFORM_ROOT" ] || fail "no platform root after ExecStartPre"
# A second set-up changes nothing and succeeds (the units run it before every start).
eval "$(unit_line "${units[0]}" ExecStartPre)" || fail "a second ExecStartPre"

state_of() { "$prefix/bin/vantry-sc" query "$1" 2>/dev/null | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
# Waits until the service runs (0) or its `vantry-sc run` has ended (1).
wait_running() { # NAME PID
    local deadline=$((SECONDS + 120))
    while [ $SECONDS -lt $deadline ]; do
        [ "$(state_of "$1")" = RUNNING ] && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.1
    done
    fail "$1 neither ran nor ended within 120 s"
}
eval "$(unit_line "${units[0]}" ExecStart) &"
pids+=($!)
wait_running "Vantry SMTP Drennic" "${pids[0]}" || fail "Drennic did not start"
# A port is free when Pellion binds it: a port another program holds makes it
# stop at once (its start-up logs the bind failure), and the next one is tried.
port=
for try in 1 2 3 4 5 6 7 8; do
    candidate=$((20000 + (RANDOM * 7 + try) % 40000))
    "$prefix/bin/vantry-setup" --port "$candidate"
    eval "$(unit_line "${units[1]}" ExecStart) &"
    pid=$!
    if wait_running "Vantry SMTP Pellion" "$pid"; then
        pids+=("$pid"); port=$candidate; break
    fi
    wait "$pid" || true
done
[ -n "$port" ] || fail "Pellion found no free port"
echo "Pellion runs on port $port, platform root $VANTRY_PLATFORM_ROOT"
answer=$("$prefix/bin/vantry-ask" get_server_type)
echo "vantry-ask get_server_type -> $answer"
[ "$answer" = NT_SMTP ] || fail "get_server_type answered '$answer'"
answer=$("$prefix/bin/vantry-ask" getsize_qfile)
[ "$answer" = "0 0" ] || fail "getsize_qfile answered '$answer'"
"$tmp/client" "$port" >"$tmp/client.out" || { cat "$tmp/client.out"; fail "the client's request"; }
printf 'rule active 1\nplug-in export linked\nreply NT_SMTP\n' | diff - "$tmp/client.out" ||
    fail "the client's output"
echo "client built on the installed headers: $(tr '\n' ' ' <"$tmp/client.out")"

# systemd's stop: SIGTERM to the tool, which becomes the stop control; the tool
# ends with the service's exit status, 0.
kill -TERM "${pids[1]}"
wait "${pids[1]}" || fail "Pellion's run ended with status $?"
[ "$(state_of "Vantry SMTP Pellion")" = STOPPED ] || fail "Pellion is not stopped"
kill -TERM "${pids[0]}"
wait "${pids[0]}" || fail "Drennic's run ended with status $?"
pids=()
echo "PASSED"
