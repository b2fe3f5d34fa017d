#!/bin/sh
# Checks the built libkessla.so: its dynamic symbol table defines the three
# classes of Kessla.h (members, virtual tables, type information) and nothing
# else, and loading it runs no constructor of its own.
#   check_exports.sh LIBRARY [plain|sanitized]
# A sanitized build adds the sanitizers' own module constructors, so there
# only the compiler's names for dynamic initialisation are looked for.
set -eu
lib=$1
build=${2:-plain}
fail=0

exports=$(nm -D --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^ +/, ""); print }' | c++filt)
if [ -z "$exports" ]; then
    echo "$lib: no dynamic symbols read" >&2
    exit 1
fi
allowed='^((CRule|CMessage|CMessageStream)::|(vtable|typeinfo|typeinfo name) for (CRule|CMessage|CMessageStream)$)'
others=$(printf '%s\n' "$exports" | grep -Ev "$allowed" || true)
if [ -n "$others" ]; then
    echo "$lib exports more than CRule, CMessage and CMessageStream:" >&2
    printf '%s\n' "$others" >&2
    fail=1
fi
for wanted in 'CRule::CheckMessage(CMessage*, bool)' 'CRule::CRule()' 'vtable for CRule' \
    'CMessage::~CMessage()' 'CMessageStream::~CMessageStream()'; do
    if ! printf '%s\n' "$exports" | grep -qxF "$wanted"; then
        echo "$lib does not export $wanted" >&2
        fail=1
    fi
done

# Dynamic initialisation of a global is compiled into a function of this name
# (GCC and clang alike), which the library's init array then calls.
symbols=$(nm "$lib" 2>&1)
case "$symbols" in
*"no symbols"*)
    echo "$lib: stripped, cannot look for constructors" >&2
    fail=1
    ;;
esac
ctors=$(printf '%s\n' "$symbols" | grep -E '_GLOBAL__sub_I|_GLOBAL__I_' || true)
if [ -n "$ctors" ]; then
    echo "$lib runs constructors when it is loaded:" >&2
    printf '%s\n' "$ctors" >&2
    fail=1
fi
if [ "$build" = plain ]; then
    # One entry at most: the C runtime's frame_dummy.
    size=$(readelf -d "$lib" | awk '/INIT_ARRAYSZ/ { print $(NF - 1) }')
    if [ -n "$size" ] && [ "$size" -gt 8 ]; then
        echo "$lib: its init array holds $size bytes, more than the C runtime's one entry" >&2
        fail=1
    fi
fi
[ "$fail" -eq 0 ] && echo "$lib exports only the three classes and loads without constructors"
exit "$fail"
