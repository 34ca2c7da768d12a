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
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[[ ${1:-} == --quick ]] && quick=true

jobs=$(nproc)
# Each stage's time, printed at the end, also when a stage fails.
stages=()
stage_started=$SECONDS
stage() {
    finish_stage
    stage_name=$*
    stage_started=$SECONDS
    printf '\n=== %s\n' "$*"
}
finish_stage() {
    if [[ -n ${stage_name:-} ]]; then
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
trap report_times EXIT

stage "the packages the tests need"
scripts/packages.sh test

stage "release: build"
cmake --preset default
cmake --build --preset default -j "$jobs"
stage "release: all tests"
ctest --preset default -j "$jobs"
$quick && exit 0

stage "AddressSanitizer + UndefinedBehaviorSanitizer: build"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
stage "AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
ctest --preset asan -j "$jobs"

stage "ThreadSanitizer: build"
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
stage "ThreadSanitizer: the tests of the daemon's threads"
ctest --preset tsan -j "$jobs"

stage "libFuzzer: build"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
stage "libFuzzer: every target for ${FUZZ_SECONDS:-30} s"
ctest --test-dir build-fuzz/tests/fuzz -j "$jobs"
tests/fuzz/run.sh "${FUZZ_SECONDS:-30}" build-fuzz
