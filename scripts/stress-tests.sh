#!/usr/bin/env bash
# Runs the whole native and sanitizer suites ROUNDS times in a row (default 5),
# each with `ctest -j4`, while another full build runs beside them: a
# throwaway build folder (build-stress-load) rebuilt from scratch in a loop,
# without the compiler cache, so that it really loads the machine. A test that
# waits for a time instead of an event fails here. Prints each round's results
# and a summary; exits 0 only when every round passed.
#
#   scripts/stress-tests.sh [ROUNDS]
# The native (build/) and sanitizer (build-asan/) trees are built first, as
# scripts/test.sh builds them. Each ctest run's output is kept in
# build-logs/stress-<round>-<suite>.log.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
rounds=${1:-5}
logs="$here/build-logs"
mkdir -p "$logs"

echo "== building the suites"
bash scripts/build.sh build -DVANTRY_TESTS=ON -DVANTRY_BENCH=ON >"$logs/stress-build.log" 2>&1 ||
    { tail -n 40 "$logs/stress-build.log"; echo "native build failed"; exit 1; }
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTRY_SANITIZE=ON -DVANTRY_TESTS=ON \
    -DVANTRY_BENCH=OFF >>"$logs/stress-build.log" 2>&1 ||
    { tail -n 40 "$logs/stress-build.log"; echo "sanitizer build failed"; exit 1; }

# The build beside the tests, in a process group of its own.
loader() {
    local n=0
    while true; do
        n=$((n + 1))
        rm -rf build-stress-load
        echo "== load build $n from scratch ($(date +%T))"
        CCACHE_DISABLE=1 cmake -S . -B build-stress-load -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DVANTRY_TESTS=ON -DVANTRY_BENCH=ON >/dev/null &&
            CCACHE_DISABLE=1 cmake --build build-stress-load -j"$(nproc)" >/dev/null
        echo "== load build $n ended with $? ($(date +%T))"
    done
}
set -m
loader >"$logs/stress-load-build.log" 2>&1 &
loader_pid=$!
set +m
stop_loader() {
    kill -TERM -- "-$loader_pid" 2>/dev/null
    wait "$loader_pid" 2>/dev/null
    rm -rf build-stress-load
    bash scripts/reap-orphans.sh
}
trap stop_loader EXIT

# One suite once: "suite: P passed, F failed, S skipped of N in Ts" and the
# failed tests' names.
declare -i bad=0
summary=()
run_suite() {
    local round=$1 suite=$2 dir=$3 limit=$4 log start status line
    log="$logs/stress-$round-$suite.log"
    start=$(date +%s)
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --no-tests=error -j4 \
        --timeout "$limit") >"$log" 2>&1
    status=$?
    bash scripts/reap-orphans.sh >/dev/null
    local passed failed skipped total
    passed=$(grep -cE '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log")
    skipped=$(grep -cE '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: .*\*\*\*Skipped' "$log")
    total=$(grep -cE '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: ' "$log")
    failed=$((total - passed - skipped))
    line=$(printf 'round %s %-10s %4d passed %3d failed %3d skipped of %4d in %4ds (ctest exit %d)' \
        "$round" "$suite" "$passed" "$failed" "$skipped" "$total" $(($(date +%s) - start)) "$status")
    echo "$line"
    summary+=("$line")
    if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ] || [ "$total" -eq 0 ]; then
        bad+=1
        sed -n '/The following tests FAILED:/,$p' "$log" | sed 's/^/    /'
        summary+=("$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' |
            sed 's/^/    /')")
    fi
}

started=$(date +%s)
for round in $(seq 1 "$rounds"); do
    echo "== round $round of $rounds ($(date +%T); beside: $(tail -n 1 "$logs/stress-load-build.log"))"
    run_suite "$round" native build 300
    run_suite "$round" sanitizers build-asan 600
done
echo
echo "== stress summary ($rounds rounds, ctest -j4, a from-scratch build beside them)"
printf '%s\n' "${summary[@]}"
echo "load builds started: $(grep -c 'from scratch' "$logs/stress-load-build.log"), finished: $(grep -c 'ended with 0' "$logs/stress-load-build.log")"
echo "total $(($(date +%s) - started))s; $([ $bad -eq 0 ] && echo 'every round passed' || echo "$bad suite run(s) FAILED")"
[ $bad -eq 0 ]
