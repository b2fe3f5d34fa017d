#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the native build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows target
# built with the cross compiler and run under Wine (scripts/test-windows.sh),
# and the fuzz targets for a bounded time.
#   scripts/test.sh             everything
#   FUZZ_SECONDS=30 scripts/test.sh   shorter fuzzing
#   LOAD_SECONDS=20 scripts/test.sh   a shorter load test
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
jobs=$(nproc)
# Whatever a failed or timed-out test left running goes, between the stages
# and at the end, whatever the outcome.
trap 'bash scripts/reap-orphans.sh' EXIT

echo "== native build and tests"
# Options stated in full: a folder last built by scripts/run.sh has the tests off.
bash scripts/build.sh build -DVANTRY_TESTS=ON -DVANTRY_BENCH=ON
(cd build && ctest --output-on-failure --no-tests=error -j"$jobs" --timeout 300)
bash scripts/reap-orphans.sh

echo "== load: strangers and silent sockets against an administrator"
build/bin/pellion_load --seconds "${LOAD_SECONDS:-60}" build/bin/pellion

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTRY_SANITIZE=ON -DVANTRY_TESTS=ON -DVANTRY_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --no-tests=error -j"$jobs" --timeout 600)
bash scripts/reap-orphans.sh

echo "== Windows target under Wine"
# 77: the Windows build was made but this machine cannot run its programs.
windows=0
bash scripts/test-windows.sh build-win build || windows=$?
[ "$windows" -eq 0 ] || [ "$windows" -eq 77 ] || exit "$windows"

if [ -f tests/fuzz/run-fuzzers.sh ]; then
    echo "== fuzz targets"
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_COMPILER=clang -DVANTRY_FUZZ=ON -DVANTRY_TESTS=OFF -DVANTRY_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j"$jobs"
    bash tests/fuzz/run-fuzzers.sh build-fuzz "${FUZZ_SECONDS:-60}"
fi
echo "== all tests passed"
