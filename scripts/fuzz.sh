#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz, and runs each for a bounded time on a copy of its
# seed corpus tests/fuzz/corpus/<target>/ (the committed corpus never grows). Fails when any
# target crashes or breaks a property it checks; the input is kept in
# build-fuzz/fuzz-artifacts/<target>/ and the target's output is printed.
#
# Environment:
#   PGULO_FUZZ_SECONDS  run time of each target in seconds (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-fuzz
seconds=${PGULO_FUZZ_SECONDS:-20}

die() {
    printf 'fuzz: %s\n' "$*" >&2
    exit 1
}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || die "PGULO_FUZZ_SECONDS must be a positive number of seconds"
command -v clang++ >/dev/null || die "clang++ is missing (scripts/setup.sh installs it)"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPGULO_FUZZ=ON -DPGULO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pgulo_fuzz_targets

# The targets write their scratch files for every input: memory is much faster than a disk.
scratch_parent=/dev/shm
[[ -d $scratch_parent && -w $scratch_parent ]] || scratch_parent=${TMPDIR:-/tmp}
work=$(mktemp -d "$scratch_parent/pgulo-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# One target per core at a time; each reports in its own file, printed in order at the end.
run_target() {
    local target=$1 corpus=$root/tests/fuzz/corpus/$1
    local artifacts=$build/fuzz-artifacts/$target log=$work/$target.log
    cp -r "$corpus" "$work/$target"
    mkdir -p "$artifacts"
    if TMPDIR=$work "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=25 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work/$target" >"$log" 2>&1; then
        runs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log")
        rate=$(awk '/^stat::average_exec_per_sec:/ {print $2}' "$log")
        printf '%-20s %9s runs in %ss (%s per second)\n' "$target" "$runs" "$seconds" "$rate" \
            >"$work/$target.result"
    else
        {
            printf '%-20s FAILED; its output:\n' "$target"
            grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" | tail -n 80 || true
        } >"$work/$target.result"
        return 1
    fi
}

targets=()
for source in "$root"/tests/fuzz/*Fuzz.cpp; do
    target=$(basename "$source" .cpp)
    [[ -d $root/tests/fuzz/corpus/$target ]] || die "$target has no seed corpus"
    targets+=("$target")
done
running=0
for target in "${targets[@]}"; do
    if ((running >= $(nproc))); then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
wait || true
failed=()
for target in "${targets[@]}"; do
    cat "$work/$target.result" 2>/dev/null || echo "$target: no result"
    grep -q ' runs in ' "$work/$target.result" 2>/dev/null || failed+=("$target")
done
((${#failed[@]} == 0)) || die "crashes found by: ${failed[*]} (inputs in $build/fuzz-artifacts/)"
echo "fuzz: every target ran ${seconds}s without a crash"
