#!/bin/sh
# The plug-in's dynamic symbol table holds exactly the names of ruvane.def,
# and the library has no static initialisers (loading it does no work).
#   check_exports.sh LIBRARY DEF-FILE
set -eu
lib=$1
def=$2
want=$(grep -E '^ +(Service|Wizard)_Reaction_' "$def" | tr -d ' ' | sort)
have=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$want" != "$have" ]; then
    echo "exports differ from $def:"
    printf '%s\n' "$want" > /tmp/ruvane-want.$$
    printf '%s\n' "$have" | diff /tmp/ruvane-want.$$ - || true
    rm -f /tmp/ruvane-want.$$
    exit 1
fi
count=$(printf '%s\n' "$have" | wc -l)
[ "$count" -eq 28 ] || { echo "expected 28 exports, found $count"; exit 1; }
if nm "$lib" | grep -q '_GLOBAL__sub_I'; then
    echo "static initialisers in $lib:"
    nm "$lib" | grep '_GLOBAL__sub_I'
    exit 1
fi
echo "28 exports, no static initialisers"
