#!/usr/bin/env bash
# Builds the project in its two configurations and runs the tests: every test (unit and
# integration, against real servers) in the release build, and the unit tests under
# AddressSanitizer + UndefinedBehaviorSanitizer. Installs what a fresh machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)
# Integration tests mostly wait for servers (archiving, checkpoints, fsync), so three run at
# once on two cores.
build_and_test() {
    local dir=$1 label=$2
    shift 2
    cmake -S "$root" -B "$dir" "$@" >/dev/null
    # A build for the unit tests alone builds just their programs.
    local targets=()
    if [[ $label == unit ]]; then
        while IFS= read -r source; do
            targets+=(--target "$(basename "$source" .cpp)")
        done < <(find "$root/tests/unit" -name '*.cpp')
    fi
    cmake --build "$dir" -j"$jobs" "${targets[@]}"
    (cd "$dir" && ctest --output-on-failure --timeout 900 -j3 ${label:+-L "$label"})
}

# Each integration program prints the majors it started clusters of; CTest keeps that output.
print_majors_used() {
    local log=$1/Testing/Temporary/LastTest.log
    [[ -f $log ]] || return 0
    local majors
    majors=$(grep -ho 'PostgreSQL majors used:.*' "$log" | cut -d: -f2 | tr ' ' '\n' |
        grep -E '^[0-9]+$' | sort -n | uniq | tr '\n' ' ' || true)
    echo "PostgreSQL majors the integration tests ran against: ${majors:-none}"
}

echo "== release build"
# The S3 tests run against a real object store on loopback, one per build tree.
export PGULO_OBJECTSTORE_DIR="${PGULO_OBJECTSTORE_DIR:-$root/build/objectstore}"
bash scripts/objectstore.sh start
trap 'bash scripts/objectstore.sh stop' EXIT
eval "$(bash scripts/objectstore.sh env)"
build_and_test "$root/build" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
bash scripts/objectstore.sh stop
trap - EXIT
print_majors_used "$root/build"
echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer): unit tests"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
build_and_test "$root/build-asan" unit -DCMAKE_BUILD_TYPE=Debug -DPGULO_SANITIZE=ON
echo "== fuzz targets"
bash scripts/fuzz.sh
