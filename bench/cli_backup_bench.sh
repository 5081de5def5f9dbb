#!/usr/bin/env bash
# Full backup of a pgbench cluster (scale 100, about 1.5 GB) three ways, each run three times:
#   pgulo backup            (the reference backup host driving libpgulo.so, immediate checkpoint)
#   pg_basebackup -Fp -X stream -c fast
#   cp -a of base/ and global/ (the floor: a plain copy of the data files)
# and the median wall time, CPU time and peak memory of each (from /usr/bin/time -v), with the
# ratios against pg_basebackup. Goal: pgulo at most half of pg_basebackup's wall time and
# below 100 MB of peak memory.
#
# Usage: bash bench/cli_backup_bench.sh [BUILD_DIR]
# Environment: SCALE (default 100), RUNS (default 3), PGULO_BENCH_MAJOR (default 15),
#              JOBS (pgulo --jobs, default: cores), KEEP=1 keeps the work directory.
# Runs as root; the server runs as OS user postgres. Needs Debian's PostgreSQL 15 client tools.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${PGULO_BUILD_DIR:-$root/build}}"
pgulo="$build/cli/pgulo"
scale="${SCALE:-100}"
runs="${RUNS:-3}"
major="${PGULO_BENCH_MAJOR:-15}"
jobs="${JOBS:-$(nproc)}"
client=/usr/lib/postgresql/15/bin

if [[ $major == 15 ]]; then
    bin=/usr/lib/postgresql/15/bin lib=/usr/lib/x86_64-linux-gnu
else
    bin=/var/cache/pgulo/pg/$major/pkg/native/bin lib=/var/cache/pgulo/pg/$major/pkg/native/lib
fi
source "$root/bench/bench_cluster.sh"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (apt-get install time)"
out="$work/out"
mkdir -p "$out"
echo "== PostgreSQL $major cluster, pgbench scale $scale, in $work"
bench_start_cluster
echo "   data directory: $(du -sh "$data" | cut -f1)"
bench_add_instance

# One measured run: the tool's own output goes to a file, time -v's report to another.
measure() {
    local name=$1 run=$2
    shift 2
    /usr/bin/time -v -o "$out/$name.$run.time" "$@" >"$out/$name.$run.log" 2>&1 ||
        { cat "$out/$name.$run.log" >&2; die "$name run $run failed"; }
}

seconds() { # h:mm:ss.ss or m:ss.ss
    awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }' <<<"$1"
}

record() {
    local name=$1 run=$2 file="$out/$1.$2.time"
    local wall user sys rss
    wall=$(seconds "$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$file")")
    user=$(sed -n 's/.*User time (seconds): //p' "$file")
    sys=$(sed -n 's/.*System time (seconds): //p' "$file")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$file")
    echo "$name $wall $(awk "BEGIN { print $user + $sys }") $rss" >>"$out/results"
}

for run in $(seq 1 "$runs"); do
    echo "== run $run of $runs"
    rm -rf "$PGULO_HOME/repo"
    measure pgulo "$run" "$pgulo" backup bench --quiet --jobs "$jobs"
    record pgulo "$run"
    rm -rf "$PGULO_HOME/repo"

    measure pg_basebackup "$run" "$client/pg_basebackup" -h "$socket" -p "$port" -U postgres \
        -D "$work/basebackup" -Fp -X stream -c fast
    record pg_basebackup "$run"
    rm -rf "$work/basebackup"

    mkdir -p "$work/copy"
    measure cp "$run" cp -a "$data/base" "$data/global" "$work/copy/"
    record cp "$run"
    rm -rf "$work/copy"
done

median() { # tool column
    awk -v t="$1" -v c="$2" '$1 == t { print $c }' "$out/results" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo
printf '%-14s %10s %10s %12s\n' tool "wall (s)" "CPU (s)" "peak (MB)"
for tool in pgulo pg_basebackup cp; do
    printf '%-14s %10.2f %10.2f %12.1f\n' "$tool" "$(median "$tool" 2)" "$(median "$tool" 3)" \
        "$(awk "BEGIN { print $(median "$tool" 4) / 1024 }")"
done
pw=$(median pgulo 2) bw=$(median pg_basebackup 2) cw=$(median cp 2) pm=$(median pgulo 4)
echo
awk -v p="$pw" -v b="$bw" -v c="$cw" -v m="$pm" 'BEGIN {
    printf "pgulo / pg_basebackup wall: %.2f (goal <= 0.50: %s)\n", p / b, (p / b <= 0.5) ? "met" : "NOT met"
    printf "pgulo / cp -a wall:         %.2f\n", p / c
    printf "pgulo peak memory:          %.1f MB (goal < 100 MB: %s)\n", m / 1024, (m / 1024 < 100) ? "met" : "NOT met"
}'
