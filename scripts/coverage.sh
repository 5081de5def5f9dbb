#!/usr/bin/env bash
# Line coverage of the code by the unit and integration tests, printed per folder.
#
# Builds an instrumented tree (gcc --coverage, no optimisation) in build-coverage, runs every unit
# and integration test there against real servers, and summarises with gcovr. A failing test is
# reported but does not hide the figures; the script's exit code is then 1.
#
# Environment:
#   PGULO_COVERAGE_DIR      the build directory (default build-coverage)
#   PGULO_COVERAGE_LABELS   the CTest labels to run, as a regular expression (default
#                           'unit|integration')
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

# A cache shared between trees would hand back coverage notes naming another tree's sources.
# Unoptimised, instrumented programs run the longest tables several times slower than the
# release build, hence the longer limit per program.
unset CCACHE_BASEDIR
dir=${PGULO_COVERAGE_DIR:-$root/build-coverage}
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPGULO_COVERAGE=ON \
    -DPGULO_TEST_TIMEOUT=2400 >/dev/null
cmake --build "$dir" -j"$(nproc)"

# Counters from an earlier run would add to this one's.
find "$dir" -name '*.gcda' -delete
status=0
(cd "$dir" && ctest --output-on-failure -j3 -L "${PGULO_COVERAGE_LABELS:-unit|integration}") || status=1

gcovr --root "$root" --object-directory "$dir" \
    --filter "$root/src/" --filter "$root/include/" --filter "$root/cli/" \
    --gcov-ignore-parse-errors --json-summary "$dir/coverage-summary.json" >/dev/null 2>"$dir/gcovr.log" ||
    { cat "$dir/gcovr.log" >&2; exit 1; }

# One row per folder of the code, then the whole.
python3 - "$dir/coverage-summary.json" <<'PY'
import json, os, sys
from collections import defaultdict
files = json.load(open(sys.argv[1]))["files"]
covered, total = defaultdict(int), defaultdict(int)
for f in files:
    folder = os.path.dirname(f["filename"]) or "."
    covered[folder] += f["line_covered"]
    total[folder] += f["line_total"]
print(f"{'folder':<28}{'lines':>8}{'covered':>9}{'percent':>9}")
for folder in sorted(total):
    pct = 100.0 * covered[folder] / total[folder] if total[folder] else 0.0
    print(f"{folder:<28}{total[folder]:>8}{covered[folder]:>9}{pct:>8.1f}%")
all_covered, all_total = sum(covered.values()), sum(total.values())
print(f"{'all':<28}{all_total:>8}{all_covered:>9}{100.0 * all_covered / all_total:>8.1f}%")
PY
exit $status
