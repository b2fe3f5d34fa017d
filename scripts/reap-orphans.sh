#!/usr/bin/env bash
# Ends the service processes that a test left behind: a test killed at its
# time limit, or one that failed before its harness could stop what it started,
# leaves its services running in a platform root that is gone by now. Such a
# process holds a port and a processor for nothing, and may answer a later
# test's client. Only processes of this user whose VANTRY_PLATFORM_ROOT names a
# missing folder are ended; a running gateway's root exists. The stages of
# scripts/test.sh that run beside each other keep their roots while they run,
# so a reap between stages ends only what an ended stage left.
set -uo pipefail
ended=0
for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" = "$$" ] && continue
    [ -O "$environ" ] || continue
    root=$({ tr '\0' '\n' < "$environ"; } 2>/dev/null | sed -n 's/^VANTRY_PLATFORM_ROOT=//p' | head -n 1)
    [ -n "$root" ] || continue
    # A root that is no POSIX path (C:\... of a program under Wine) is not
    # this machine's folder: whether it is gone cannot be told from here.
    case $root in /*) ;; *) continue ;; esac
    [ -d "$root" ] && continue
    echo "reap-orphans: ending $pid ($({ tr '\0' ' ' < /proc/"$pid"/cmdline; } 2>/dev/null)), its root $root is gone"
    kill -KILL "$pid" 2>/dev/null && ended=$((ended + 1))
done
[ "$ended" -eq 0 ] || echo "reap-orphans: $ended process(es) ended"
exit 0
