#!/usr/bin/env bash
# Sets up a fresh machine and runs every test, in five stages:
#   native      the native build and its tests
#   load        strangers, held connections, slow readers and stalling zones
#               against an administrator (pellion_load's four scenes)
#   sanitizers  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   windows     the Windows target built with the cross compiler and run under
#               Wine (scripts/test-windows.sh); skipped, not failed, when this
#               machine cannot run 32-bit programs (the build still ran)
#   fuzz        the fuzz targets, each for a bounded time
#
#   scripts/test.sh                  every stage
#   scripts/test.sh STAGE...         only these stages (in the order above)
#   scripts/test.sh --keep-going     a failed stage does not stop the others
#   FUZZ_SECONDS=30 scripts/test.sh  shorter fuzzing
#   LOAD_SECONDS=20 scripts/test.sh  a shorter load test (the strangers scene)
#   LOAD_SCENE_SECONDS=60 LOAD_STALL_SECONDS=480 scripts/test.sh
#                                    the held, slow and stall scenes at full length
#
# The stages overlap where they can: once the native build is done, the
# sanitizer build and the Windows stage run in the background (at a lower
# priority) while the native tests and the load test run; the fuzz targets are
# built and run in the background while the sanitizer tests run. A background
# job writes to its own log in build-logs/, printed when it fails. At the end a
# summary names each stage, its time, its passed/failed/skipped counts, the
# failed tests, and the stages that did not run; then the total time.
# The exit status is 0 only when every stage asked for ran and passed.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

all_stages=(native load sanitizers windows fuzz)
usage() {
    sed -n '2,/^# The exit status/p' "$0" | sed 's/^# \{0,1\}//'
}
keep_going=0
declare -A wanted=()
for arg in "$@"; do
    case $arg in
    --keep-going) keep_going=1 ;;
    native | sanitizers | load | windows | fuzz) wanted[$arg]=1 ;;
    -h | --help)
        usage
        exit 0
        ;;
    *)
        echo "test.sh: unknown argument '$arg'" >&2
        usage >&2
        exit 2
        ;;
    esac
done
if [ ${#wanted[@]} -eq 0 ]; then
    for s in "${all_stages[@]}"; do wanted[$s]=1; done
fi
want() { [ -n "${wanted[$1]:-}" ]; }

jobs=$(nproc)
# The tests spend most of their time waiting for pauses and time limits, not
# computing: four at a time at least (they hold at that on a busy machine;
# scripts/stress-tests.sh shows it).
test_jobs=$((jobs > 4 ? jobs : 4))
logs="$here/build-logs"
mkdir -p "$logs"
rm -f "$logs"/*.end "$logs"/*.end.new
total_start=$(date +%s)

# Per stage: result (passed, FAILED, or why it did not run), seconds, counts,
# the failed tests' names, a note.
declare -A result=() seconds=() passed=() failed=() skipped=() failures=() note=()
declare -A bg_pid=() bg_start=()
stop_reason=""

now() { date +%s; }
log_of() { echo "$logs/$1.log"; }

# The counts of a ctest run from its output (appended to the stage's counts):
# one line per test, "N/M Test #K: NAME ....   Passed|***Failed|***Skipped ...".
count_ctest() {
    local stage=$1 file=$2 line name state
    while IFS= read -r line; do
        name=$(sed -E 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: ([^ ]+) .*/\1/' <<<"$line")
        state=$(sed -E 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: [^ ]+ \.*[ ]*(\*\*\*)?//; s/ +[0-9.]+ sec$//' <<<"$line")
        case $state in
        Passed) passed[$stage]=$((${passed[$stage]:-0} + 1)) ;;
        Skipped* | "Not Run"*Disabled*) skipped[$stage]=$((${skipped[$stage]:-0} + 1)) ;;
        *)
            failed[$stage]=$((${failed[$stage]:-0} + 1))
            failures[$stage]+="$name ($state)"$'\n'
            ;;
        esac
    done < <(grep -E '^ *[0-9]+/[0-9]+ +Test +#[0-9]+: ' "$file")
}

# Runs a step of a stage in the foreground: its output shown and kept in the
# stage's log. The step's exit status.
step() {
    local stage=$1
    shift
    "$@" 2>&1 | tee -a "$(log_of "$stage")"
    return "${PIPESTATUS[0]}"
}

# Starts a stage's function in the background, in a process group of its own
# (so that it can be stopped as a whole), at a lower priority, its output in
# its log only.
start_bg() {
    local stage=$1 fn=$2
    : >"$(log_of "$stage")"
    rm -f "$logs/$stage.end"
    bg_start[$stage]=$(now)
    set -m
    (
        trap - EXIT
        renice -n 10 -p "$BASHPID" >/dev/null 2>&1
        "$fn"
        status=$?
        now >"$logs/$stage.end.new" && mv "$logs/$stage.end.new" "$logs/$stage.end"
        exit $status
    ) </dev/null >>"$(log_of "$stage")" 2>&1 &
    bg_pid[$stage]=$!
    set +m
    echo "== $stage: running in the background (log: build-logs/$stage.log)"
}

# How long a background stage ran (until now, if it has not ended).
bg_seconds() {
    local end
    end=$(cat "$logs/$1.end" 2>/dev/null)
    case $end in '' | *[!0-9]*) end=$(now) ;; esac
    echo $((end - ${bg_start[$1]}))
}

# Waits for a background stage; its exit status.
wait_bg() {
    local stage=$1 status=0
    [ -n "${bg_pid[$stage]:-}" ] || return 1
    wait "${bg_pid[$stage]}" || status=$?
    unset "bg_pid[$stage]"
    return $status
}

# Stops every background stage still running (its whole process group).
stop_bg() {
    local stage status
    for stage in "${!bg_pid[@]}"; do
        if [ -f "$logs/$stage.end" ]; then # over already: its own result
            status=0
            wait "${bg_pid[$stage]}" || status=$?
            unset "bg_pid[$stage]"
            settle_bg "$stage" $status
            continue
        fi
        kill -TERM -- "-${bg_pid[$stage]}" 2>/dev/null
        wait "${bg_pid[$stage]}" 2>/dev/null
        unset "bg_pid[$stage]"
        [ -n "${result[$stage]:-}" ] || result[$stage]="stopped: $stop_reason failed"
        seconds[$stage]=$(bg_seconds "$stage")
    done
    if [ -d build-win/wine-prefix ]; then
        WINEPREFIX="$here/build-win/wine-prefix" wineserver -k 2>/dev/null || true
    fi
}

# A stage has failed: unless --keep-going, nothing after it runs.
stage_failed() {
    result[$1]=${result[$1]:-FAILED}
    if [ $keep_going -eq 0 ] && [ -z "$stop_reason" ]; then
        stop_reason=$1
        stop_bg
    fi
}
go_on() { [ -z "$stop_reason" ]; }

# Prints the end of a background stage's log (a failure's detail).
show_log_tail() {
    echo "---- last lines of build-logs/$1.log"
    tail -n 80 "$(log_of "$1")"
    echo "----"
}

finish() {
    local why="interrupted"
    trap - EXIT
    [ -z "$stop_reason" ] || why="$stop_reason failed"
    stop_reason=${stop_reason:-interrupted}
    stop_bg
    bash scripts/reap-orphans.sh
    local total=$(($(now) - total_start)) stage shown
    echo
    echo "== summary"
    printf '%-11s %-34s %7s %7s %7s %8s\n' stage result time passed failed skipped
    local all_ok=1
    for stage in "${all_stages[@]}"; do
        want "$stage" || continue
        local r=${result[$stage]:-"not run: $why"}
        case $r in passed | skipped:*) ;; *) all_ok=0 ;; esac
        if [ -n "${seconds[$stage]:-}" ]; then
            shown=$(printf '%dm%02ds' $((seconds[$stage] / 60)) $((seconds[$stage] % 60)))
        else
            shown=-
        fi
        printf '%-11s %-34s %7s %7s %7s %8s\n' "$stage" "$r" "$shown" "${passed[$stage]:-0}" \
            "${failed[$stage]:-0}" "${skipped[$stage]:-0}"
        [ -z "${note[$stage]:-}" ] || echo "            ${note[$stage]}"
        if [ -n "${failures[$stage]:-}" ]; then
            echo "            failed:"
            printf '%s' "${failures[$stage]}" | sed 's/^/              /'
        fi
    done
    printf '== total time %dm%02ds' $((total / 60)) $((total % 60))
    if [ $all_ok -eq 1 ]; then
        echo "; all tests passed"
        exit 0
    fi
    echo "; NOT all passed (logs in build-logs/)"
    exit 1
}
trap finish EXIT

# ---- the stages' parts

native_build() {
    # Options stated in full: a folder last built by scripts/run.sh has the tests off.
    bash scripts/build.sh build -DVANTRY_TESTS=ON -DVANTRY_BENCH=ON
}
native_tests() {
    (cd build && ctest --output-on-failure --no-tests=error -j"$test_jobs" --timeout 300)
}
sanitizers_build() {
    bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTRY_SANITIZE=ON \
        -DVANTRY_TESTS=ON -DVANTRY_BENCH=OFF
}
sanitizers_tests() {
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --no-tests=error \
        -j"$test_jobs" --timeout 600)
}
load_run() {
    # The held, slow and stall scenes run short here (about three minutes in
    # all); at full length the stall scene outlasts a name's five minutes.
    build/bin/pellion_load --seconds "${LOAD_SECONDS:-60}" \
        --scene-seconds "${LOAD_SCENE_SECONDS:-20}" --stall-seconds "${LOAD_STALL_SECONDS:-30}" \
        build/bin/pellion
}
windows_run() {
    bash scripts/test-windows.sh build-win build
}
fuzz_run() {
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_COMPILER=clang -DVANTRY_FUZZ=ON -DVANTRY_TESTS=OFF -DVANTRY_BENCH=OFF >/dev/null &&
        cmake --build build-fuzz -j"$jobs" &&
        bash tests/fuzz/run-fuzzers.sh build-fuzz "${FUZZ_SECONDS:-60}"
}

# The Windows stage's counts: its ctest run under Wine, and Pellion end to end
# as one more test.
count_windows() {
    local file
    file=$(log_of windows)
    count_ctest windows "$file"
    if grep -q '^== Pellion end to end under Wine' "$file"; then
        if grep -q '^== Windows stage passed' "$file"; then
            passed[windows]=$((${passed[windows]:-0} + 1))
        else
            failed[windows]=$((${failed[windows]:-0} + 1))
            failures[windows]+="Pellion end to end under Wine: $(grep -m1 'windows stage: FAILED' "$file")"$'\n'
        fi
    elif ! grep -q 'Windows test programs under Wine' "$file"; then
        note[windows]="did not reach its tests (the build or Wine's set-up failed)"
    fi
}
# The fuzz stage's counts: one per target.
count_fuzz() {
    local file target
    file=$(log_of fuzz)
    for target in $(sed -nE 's/^== (fuzz_[a-z_]+): [0-9]+ s$/\1/p' "$file"); do
        if grep -qE "^== $target (FAILED|left artifacts)" "$file"; then
            failed[fuzz]=$((${failed[fuzz]:-0} + 1))
            failures[fuzz]+="$target (inputs kept in build-fuzz/fuzz-run/$target/artifacts)"$'\n'
        else
            passed[fuzz]=$((${passed[fuzz]:-0} + 1))
        fi
    done
    grep -q '^== fuzz_' "$file" || note[fuzz]="did not reach its targets (the build failed)"
}

# A background stage is over: its result, time and counts.
settle_bg() {
    local stage=$1 status=$2
    seconds[$stage]=$(bg_seconds "$stage")
    case $stage in
    windows) count_windows ;;
    fuzz) count_fuzz ;;
    esac
    if [ "$status" -eq 0 ]; then
        result[$stage]=passed
    elif [ "$stage" = windows ] && [ "$status" -eq 77 ]; then
        # Built, but this machine cannot run its programs: the stage said
        # what it skipped; not a failure.
        result[windows]="skipped: built, not run here"
        skipped[windows]=$((${skipped[windows]:-0} + 1))
        note[windows]=$(grep -m1 'windows stage: SKIPPED' "$(log_of windows)" | cut -c1-160)
    else
        echo "== $stage FAILED (exit $status)"
        show_log_tail "$stage"
        stage_failed "$stage"
    fi
}

# ---- the run

bash scripts/setup.sh || {
    stop_reason="setup.sh"
    exit 1
}

native_built=0
sanitizers_build_status=""
if want native || want load; then
    echo "== native build"
    : >"$(log_of native)"
    started=$(now)
    if step native native_build; then
        native_built=1
    else
        result[native]="FAILED (build)"
        note[native]="the build failed; see build-logs/native.log"
        seconds[native]=$(($(now) - started))
        want load && result[load]="not run: the native build failed"
        stage_failed native
    fi
    native_build_seconds=$(($(now) - started))
fi

# Beside the native tests: the sanitizer build and the Windows stage.
if go_on && want sanitizers; then
    start_bg sanitizers sanitizers_build
fi
if go_on && want windows; then
    if want native || want load; then
        start_bg windows windows_run
    fi
fi

if go_on && want native && [ $native_built -eq 1 ]; then
    echo "== native tests"
    started=$(now)
    step native native_tests
    status=$?
    seconds[native]=$((native_build_seconds + $(now) - started))
    note[native]="build ${native_build_seconds}s, tests $(($(now) - started))s"
    count_ctest native "$(log_of native)"
    bash scripts/reap-orphans.sh
    if [ $status -eq 0 ]; then result[native]=passed; else stage_failed native; fi
fi

if go_on && want load && [ $native_built -eq 1 ]; then
    echo "== load: strangers, held connections, slow readers and stalling zones against an administrator"
    : >"$(log_of load)"
    started=$(now)
    step load load_run
    status=$?
    seconds[load]=$(($(now) - started))
    bash scripts/reap-orphans.sh
    if [ $status -eq 0 ]; then
        result[load]=passed
        passed[load]=1
    else
        failed[load]=1
        failures[load]="pellion_load (see its figures above)"$'\n'
        stage_failed load
    fi
fi

if go_on && want sanitizers; then
    if [ -n "${bg_pid[sanitizers]:-}" ]; then
        echo "== sanitizer build: waiting for the background build"
        wait_bg sanitizers
        sanitizers_build_status=$?
        sanitizers_build_seconds=$(bg_seconds sanitizers)
        [ $sanitizers_build_status -eq 0 ] || show_log_tail sanitizers
    else
        echo "== sanitizer build"
        : >"$(log_of sanitizers)"
        started=$(now)
        step sanitizers sanitizers_build
        sanitizers_build_status=$?
        sanitizers_build_seconds=$(($(now) - started))
    fi
    if [ "$sanitizers_build_status" -ne 0 ]; then
        seconds[sanitizers]=$sanitizers_build_seconds
        note[sanitizers]="the build failed; see build-logs/sanitizers.log"
        result[sanitizers]="FAILED (build)"
        stage_failed sanitizers
    fi
    # Beside the sanitizer tests: the fuzz targets.
    if go_on && want fuzz; then start_bg fuzz fuzz_run; fi
    if [ "$sanitizers_build_status" -eq 0 ]; then
        echo "== AddressSanitizer + UndefinedBehaviorSanitizer tests"
        started=$(now)
        step sanitizers sanitizers_tests
        status=$?
        seconds[sanitizers]=$((sanitizers_build_seconds + $(now) - started))
        note[sanitizers]="build ${sanitizers_build_seconds}s, tests $(($(now) - started))s"
        count_ctest sanitizers "$(log_of sanitizers)"
        bash scripts/reap-orphans.sh
        if [ $status -eq 0 ]; then result[sanitizers]=passed; else stage_failed sanitizers; fi
    fi
fi

# What was not started in the background yet runs here, in the foreground.
if go_on && want windows && [ -z "${bg_pid[windows]:-}" ] && [ -z "${result[windows]:-}" ]; then
    echo "== Windows target under Wine"
    : >"$(log_of windows)"
    bg_start[windows]=$(now)
    step windows windows_run
    settle_bg windows $?
fi
if go_on && want fuzz && [ -z "${bg_pid[fuzz]:-}" ] && [ -z "${result[fuzz]:-}" ]; then
    echo "== fuzz targets"
    : >"$(log_of fuzz)"
    bg_start[fuzz]=$(now)
    step fuzz fuzz_run
    settle_bg fuzz $?
fi

# The background stages, in order.
for stage in windows fuzz; do
    if go_on && [ -n "${bg_pid[$stage]:-}" ]; then
        echo "== $stage: waiting for the background stage"
        wait_bg "$stage"
        status=$?
        settle_bg "$stage" $status
        echo "== $stage: ${result[$stage]:-?} ($(tail -n 1 "$(log_of "$stage")"))"
    fi
done
exit 0
