#!/usr/bin/env bash
# What putting one table back as of a point in time costs against restoring the whole cluster
# to that time. A pgbench cluster (scale 100, about 1.5 GB) on Debian's PostgreSQL 15 gets a
# table bench_t of about 10 MB, a full backup, a noted time T, a pgbench run of a while and a
# log backup; then, timed:
#   (a) pgulo restore NAME --database postgres --object table:public.bench_t --target-time T
#       (the physical backups restored as of T into a scratch copy, the database dumped from it,
#       the table put back from the dump into the running cluster)
#   (b) pgulo restore NAME --target-time T --pgdata NEW --start (the whole cluster into a fresh
#       directory, started and recovered to T)
# and both wall times side by side. It is a program that prints figures, not a test; it checks
# only that (a) brought bench_t back to its row count at T.
#
# Usage: bash bench/object_pitr_bench.sh [BUILD_DIR]
# Environment: SCALE (default 100), RUN_SECONDS (pgbench run after T, default 60),
#              JOBS (pgulo --jobs, default: cores), KEEP=1 keeps the work directory.
# Runs as root; the server runs as OS user postgres.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${PGULO_BUILD_DIR:-$root/build}}"
pgulo="$build/cli/pgulo"
scale="${SCALE:-100}"
run_seconds="${RUN_SECONDS:-60}"
jobs="${JOBS:-$(nproc)}"
bin=/usr/lib/postgresql/15/bin lib=/usr/lib/x86_64-linux-gnu

client=$bin
source "$root/bench/bench_cluster.sh"
restored="$work/restored"
restored_port=$((port + 1))
bench_servers+=("$restored")
sql() { "$bin/psql" -X -q -A -t -h "$socket" -p "$port" -U postgres -d postgres -c "$1"; }

echo "== PostgreSQL 15 cluster, pgbench scale $scale, in $work"
bench_start_cluster
# About 10 MB: 100,000 rows of an id and 80 bytes of text.
sql "CREATE TABLE bench_t AS SELECT i AS id, repeat(md5(i::text), 2) || 'x' AS v
     FROM generate_series(1, 100000) AS i"
sql "ALTER TABLE bench_t ADD PRIMARY KEY (id)"
sql "CHECKPOINT"
echo "   data directory: $(du -sh "$data" | cut -f1), bench_t: $(sql "SELECT pg_size_pretty(pg_table_size('bench_t'))")"

bench_add_instance
echo "== full backup"
"$pgulo" backup bench --type full --quiet --jobs "$jobs" >/dev/null
target="$(sql "SELECT clock_timestamp()")"
rows_at_target="$(sql "SELECT count(*) FROM bench_t")"
echo "== T = $target; pgbench for ${run_seconds}s, bench_t changed"
sql "DELETE FROM bench_t WHERE id % 2 = 0"
"$bin/pgbench" -h "$socket" -p "$port" -U postgres -n -T "$run_seconds" -c 2 postgres >/dev/null 2>&1
sql "SELECT pg_switch_wal()" >/dev/null
echo "== log backup"
"$pgulo" backup bench --type log --quiet --jobs "$jobs" >/dev/null

elapsed() { # command...: runs it, its output to a log, and prints its wall seconds
    local log=$1 start end
    shift
    start=$(date +%s.%N)
    "$@" >"$log" 2>&1 || { cat "$log" >&2; die "failed: $*"; }
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }'
}

echo "== (a) one table as of T"
object_seconds=$(elapsed "$work/object.log" "$pgulo" restore bench --database postgres \
    --object table:public.bench_t --target-time "$target" --quiet --jobs "$jobs")
rows_now="$(sql "SELECT count(*) FROM bench_t")"
[[ $rows_now == "$rows_at_target" ]] ||
    die "bench_t has $rows_now rows after the object restore, $rows_at_target at T"

echo "== (b) the whole cluster as of T, started"
cluster_seconds=$(elapsed "$work/cluster.log" "$pgulo" restore bench --target-time "$target" \
    --pgdata "$restored" --port "$restored_port" --socket-dir "$socket" --start --quiet \
    --jobs "$jobs")

echo
printf '%-36s %10s\n' "restore as of T" "wall (s)"
printf '%-36s %10s\n' "(a) table public.bench_t (~10 MB)" "$object_seconds"
printf '%-36s %10s\n' "(b) whole cluster, started" "$cluster_seconds"
awk -v a="$object_seconds" -v b="$cluster_seconds" \
    'BEGIN { if (b > 0) printf "(a) / (b): %.2f\n", a / b }'
