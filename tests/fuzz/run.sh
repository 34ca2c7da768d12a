#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 30) from its seed corpus, one after another.
# Fails on any crash, leak, hang, excess memory or sanitizer report, and keeps the input that
# caused it under BUILD_DIR/fuzz-artifacts/TARGET/.
#
#   tests/fuzz/run.sh [SECONDS] [BUILD_DIR]     BUILD_DIR defaults to build-fuzz (cmake --preset fuzz)
#
# The seed corpus in the repository is copied to a temporary directory first, so that what a
# run discovers never grows it; FUZZ_TARGETS="fuzz_config fuzz_netlink" picks targets.
set -euo pipefail

seconds="${1:-30}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${2:-$root/build-fuzz}"
targets="${FUZZ_TARGETS:-fuzz_address fuzz_command_line fuzz_config fuzz_dispatch fuzz_guard fuzz_netlink fuzz_port fuzz_proc_route fuzz_state_file}"

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [SECONDS] [BUILD_DIR]" >&2
    exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/telvord-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"

# Leaks are reported at exit of each input's run; UBSan stops at its first report.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for target in $targets; do
    binary="$build/tests/fuzz/$target"
    if [ ! -x "$binary" ]; then
        echo "run.sh: $binary is missing; build with: cmake --preset fuzz && cmake --build --preset fuzz" >&2
        exit 2
    fi
    corpus="$work/$target"
    mkdir -p "$corpus" "$artifacts/$target"
    cp -R "$here/corpus/$target/." "$corpus/"
    options=(-max_total_time="$seconds" -max_len=4096 -timeout=25 -rss_limit_mb=2048
             -print_final_stats=1 -artifact_prefix="$artifacts/$target/")
    if [ -f "$here/$target.dict" ]; then options+=(-dict="$here/$target.dict"); fi

    log="$work/$target.log"
    echo "== $target: $seconds s from $(find "$corpus" -type f | wc -l) seeds"
    status=0
    "$binary" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
    # A report that did not end the run (none should, with -fno-sanitize-recover) fails it too.
    if [ "$status" -ne 0 ] ||
        grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant failed' "$log"; then
        echo "!! $target failed (status $status); the last lines of its log:"
        tail -n 60 "$log"
        failed+=("$target")
    else
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed 's/^/   /'
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]}; inputs kept in $artifacts" >&2
    exit 1
fi
echo "fuzzing passed: $targets"
