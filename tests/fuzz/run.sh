#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 30) from its seed corpus, as many at once as the
# machine has cores (FUZZ_JOBS); each target is one process with a core to itself.
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

# Fuzzes one target; its report goes to $work/TARGET.report, and its failure to $work/failed.
fuzz() {
    local target=$1 binary corpus log status=0 options
    binary="$build/tests/fuzz/$target"
    corpus="$work/$target"
    log="$work/$target.log"
    mkdir -p "$corpus" "$artifacts/$target"
    cp -R "$here/corpus/$target/." "$corpus/"
    options=(-max_total_time="$seconds" -max_len=4096 -timeout=25 -rss_limit_mb=2048
             -print_final_stats=1 -artifact_prefix="$artifacts/$target/")
    if [ -f "$here/$target.dict" ]; then options+=(-dict="$here/$target.dict"); fi
    {
        echo "== $target: $seconds s from $(find "$corpus" -type f | wc -l) seeds"
        "$binary" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
        # A report that did not end the run (none should, with -fno-sanitize-recover) fails it too.
        if [ "$status" -ne 0 ] ||
            grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant failed' "$log"; then
            echo "!! $target failed (status $status); the last lines of its log:"
            tail -n 60 "$log"
            echo "$target" >>"$work/failed"
        else
            grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed 's/^/   /'
        fi
    } >"$work/$target.report"
}

for target in $targets; do
    if [ ! -x "$build/tests/fuzz/$target" ]; then
        echo "run.sh: $build/tests/fuzz/$target is missing; build with: cmake --preset fuzz && cmake --build --preset fuzz" >&2
        exit 2
    fi
done
jobs=${FUZZ_JOBS:-$(nproc)}
running=0
for target in $targets; do
    if ((running >= jobs)); then
        wait -n || true  # a target's outcome is in its report
        running=$((running - 1))
    fi
    fuzz "$target" &
    running=$((running + 1))
done
wait || true
for target in $targets; do
    cat "$work/$target.report" 2>/dev/null || { echo "!! $target left no report"; echo "$target" >>"$work/failed"; }
done
failed=()
if [ -f "$work/failed" ]; then mapfile -t failed <"$work/failed"; fi

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]}; inputs kept in $artifacts" >&2
    exit 1
fi
echo "fuzzing passed: $targets"
