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

scripts/packages.sh test

jobs=$(nproc)
stage() { printf '\n=== %s\n' "$*"; }

stage "release build, all tests"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
$quick && exit 0

stage "AddressSanitizer + UndefinedBehaviorSanitizer, all tests"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

stage "ThreadSanitizer, the tests of the daemon's threads"
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

stage "libFuzzer, every target for ${FUZZ_SECONDS:-30} s"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --test-dir build-fuzz/tests/fuzz -j "$jobs"
tests/fuzz/run.sh "${FUZZ_SECONDS:-30}" build-fuzz
