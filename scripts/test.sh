#!/usr/bin/env bash
# Installs what the tests need (scripts/packages.sh), builds telvord and runs every test:
#   1. the release build, every test (unit, system, packaging);
#   2. AddressSanitizer + UndefinedBehaviorSanitizer, every test;
#   3. ThreadSanitizer, the tests of the daemon's threads;
#   4. libFuzzer, every fuzz target for FUZZ_SECONDS (default 30) from its seed corpus.
# Run as root: the system tests build network and mount namespaces of their own.
#
#   scripts/test.sh            all four stages
#   scripts/test.sh --quick    the first stage only
#
# Where the time goes: compiling, above all the test files, and the system tests, which mostly
# wait (for a daemon, a lease, a one-second probe, a container's boot). So the sanitizer and
# fuzzer trees are built one after another in the background, at a lower priority, while the
# tests of the stage before run in the foreground; and ctest runs three tests per core, each in
# namespaces of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[[ ${1:-} == --quick ]] && quick=true

jobs=$(nproc)
test_jobs=$((jobs * 3))

# Each stage's time, printed at the end, also when a stage fails.
stages=()
stage_started=$SECONDS
stage_name=
stage() {
    finish_stage
    stage_name=$*
    stage_started=$SECONDS
    printf '\n=== %s\n' "$*"
}
finish_stage() {
    if [[ -n $stage_name ]]; then
        stages+=("$(printf '%5d s  %s' $((SECONDS - stage_started)) "$stage_name")")
    fi
    stage_name=
}
report_times() {
    finish_stage
    printf '\n=== time of each stage\n'
    printf '%s\n' "${stages[@]}"
    printf '%5d s  in all\n' "$SECONDS"
}

# The background builds: each preset's log, and a file that says when it is done and how.
logs=build-logs
builder=
build_in_background() {
    rm -rf "$logs"
    mkdir -p "$logs"
    (
        for preset in "$@"; do
            status=0
            { cmake --preset "$preset" && nice -n 10 cmake --build --preset "$preset" -j "$jobs"; } \
                >"$logs/$preset.log" 2>&1 || status=$?
            echo "$status" >"$logs/$preset.done"
            [[ $status == 0 ]] || exit "$status"
        done
    ) &
    builder=$!
}
# Waits for a preset's background build and shows its log when it failed.
await_build() {
    local preset=$1
    until [[ -f $logs/$preset.done ]]; do
        if ! kill -0 "$builder" 2>/dev/null && [[ ! -f $logs/$preset.done ]]; then break; fi
        sleep 1
    done
    local status
    status=$(cat "$logs/$preset.done" 2>/dev/null || echo 1)
    if [[ $status != 0 ]]; then
        echo "the $preset build failed; its log:" >&2
        tail -n 80 "$logs/$preset.log" >&2
        exit 1
    fi
    tail -n 1 "$logs/$preset.log"
}
on_exit() {
    [[ -n $builder ]] && kill "$builder" 2>/dev/null || true
    report_times
}
trap on_exit EXIT

stage "the packages the tests need"
scripts/packages.sh test

stage "release: build"
cmake --preset default
cmake --build --preset default -j "$jobs"
$quick || build_in_background asan tsan fuzz
stage "release: all tests (sanitizer builds beside them)"
ctest --preset default -j "$test_jobs"
$quick && exit 0

stage "AddressSanitizer + UndefinedBehaviorSanitizer: the rest of the build"
await_build asan
stage "AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
ctest --preset asan -j "$test_jobs"

stage "ThreadSanitizer: the rest of the build"
await_build tsan
stage "ThreadSanitizer: the tests of the daemon's threads"
ctest --preset tsan -j "$test_jobs"

stage "libFuzzer: the rest of the build"
await_build fuzz
stage "libFuzzer: every target for ${FUZZ_SECONDS:-30} s"
ctest --test-dir build-fuzz/tests/fuzz -j "$jobs"
tests/fuzz/run.sh "${FUZZ_SECONDS:-30}" build-fuzz
