#!/bin/sh
# Runs every fuzz target for a bounded time and fails on the first crash,
# leak, hang (an input that runs over 10 seconds) or memory blow-up.
#   tests/fuzz/run-fuzzers.sh BUILD_DIR SECONDS
# The starting corpus is copied into BUILD_DIR/fuzz-run, so the tree is never
# written; whatever a failing run leaves is kept there as crash-*/leak-*/
# timeout-*/oom-* files.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
data="$here/../filter/data"
work="$build/fuzz-run"

run() {
    target=$1
    extra=$2
    shift 2
    binary="$build/bin/$target"
    if [ ! -x "$binary" ]; then
        echo "$target: not built in $build (configure with -DVANTRY_FUZZ=ON and clang)" >&2
        exit 1
    fi
    corpus="$work/$target/corpus"
    artifacts="$work/$target/artifacts"
    rm -rf "$work/$target"
    mkdir -p "$corpus" "$artifacts"
    for seeds in "$@"; do
        cp "$seeds"/* "$corpus"/
    done
    echo "== $target: $seconds s"
    if ! ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" $extra "$corpus"; then
        echo "== $target FAILED; inputs kept in $artifacts" >&2
        ls -l "$artifacts" >&2
        exit 1
    fi
    if [ -n "$(ls -A "$artifacts")" ]; then
        echo "== $target left artifacts in $artifacts" >&2
        exit 1
    fi
}

# The public TNEF files are large; inputs are kept to their first 64 KiB
# (a cut file is one more truncated stream), which keeps the rate of
# executions up.
run fuzz_tnef "-max_len=65536" "$data" "$here/corpus/tnef"
run fuzz_nested "-max_len=65536" "$here/corpus/nested"
# Request lines, with what follows them (set_config's lines); the cut of an
# overlong line at the request buffer is left to the end-to-end tests, as
# inputs that long would slow every execution.
run fuzz_request "-max_len=16384" "$here/corpus/request"
# set_config requests: a few lines are what matters; long lines are tried too.
run fuzz_set_config "-max_len=16384" "$here/corpus/set_config"
echo "== all fuzz targets ran clean"
