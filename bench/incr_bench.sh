#!/usr/bin/env bash
# Incremental backups and resume, one run of each case, side by side:
#   pgbench   PostgreSQL 15 and 17 (17 with summarize_wal = on), pgbench scale $SCALE: a full
#             backup; then pgbench -T 20 -c 2 and a checkpoint (timed apart); then an incr
#             backup. For each backup: wall time, bytes read, bytes stored; and the bytes of
#             the 8 KiB blocks that pgbench really changed (the data files compared with a copy
#             taken before pgbench).
#   static    PostgreSQL 15: a 1 GB table that never changes and a small busy table: a full
#             backup, updates of the busy table, an incr backup.
#   resume    PostgreSQL 15, pgbench scale $SCALE: a full backup killed (SIGKILL) when about
#             80 % of the bytes are stored, then the full backup that resumes it.
# Goals (the issue's): an incr stores at most 3 x the bytes of the blocks that changed and
# takes at most 0.35 x the full backup's time (0.1 x with WAL summaries on 17); the static
# cluster's incr stores under 5 % of its size; the resumed backup copies at most 30 % of the
# bytes.
#
# Usage: bash bench/incr_bench.sh [BUILD_DIR]
# Environment: SCALE (default 100), CASES (default "pgbench:15 pgbench:17 static:15 resume:15"),
#              JOBS (pgulo --jobs, default: cores), KEEP=1 keeps the work directories.
# Runs as root; the servers run as OS user postgres. Needs Debian's PostgreSQL 15 client tools.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${PGULO_BUILD_DIR:-$root/build}}"
cases="${CASES:-pgbench:15 pgbench:17 static:15 resume:15}"

# Each case runs in a process of its own: one throwaway cluster each.
if [[ -z ${INCR_BENCH_CASE:-} ]]; then
    results="$(mktemp /tmp/pgulo-incr-bench-XXXXXX)"
    trap 'rm -f "$results"' EXIT
    for c in $cases; do
        INCR_BENCH_CASE=$c INCR_BENCH_RESULTS=$results bash "$0" "$build" ||
            { echo "bench: case $c failed" >&2; exit 1; }
    done
    echo
    printf '%-12s %-8s %10s %12s %12s %12s %s\n' case backup "wall (s)" "read (MB)" \
        "stored (MB)" "changed (MB)" "ratios"
    cat "$results"
    exit 0
fi

kind="${INCR_BENCH_CASE%%:*}" major="${INCR_BENCH_CASE#*:}"
pgulo="$build/cli/pgulo"
scale="${SCALE:-100}"
jobs="${JOBS:-$(nproc)}"
client=/usr/lib/postgresql/15/bin
if [[ $major == 15 ]]; then
    bin=/usr/lib/postgresql/15/bin lib=/usr/lib/x86_64-linux-gnu
else
    bin=/var/cache/pgulo/pg/$major/pkg/native/bin lib=/var/cache/pgulo/pg/$major/pkg/native/lib
fi
[[ $kind == static ]] && scale=1
source "$root/bench/bench_cluster.sh"

psql_do() { "$client/psql" -X -q -h "$socket" -p "$port" -U postgres -v ON_ERROR_STOP=1 postgres "$@"; }
mb() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }

# Runs a pgulo backup and prints its wall time in seconds.
timed_backup() {
    local start end
    start=$(date +%s.%N)
    "$pgulo" backup bench --quiet --jobs "$jobs" "$@" >"$work/backup.log" 2>&1 ||
        { cat "$work/backup.log" >&2; die "pgulo backup $* failed"; }
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }'
}

# A field of the newest backup in pgulo's listing (0 when the listing lacks it).
newest() {
    "$pgulo" list bench --json | python3 -c '
import json, sys
b = [r for r in json.load(sys.stdin) if r.get("restorable")][-1]
print(b.get(sys.argv[1], 0))' "$1"
}

report() { # backup-name wall changed-bytes ratios
    local read
    read=$(newest read_size)
    # A full backup reads every file whole: its size.
    [[ $read == 0 ]] && read=$(newest size)
    printf '%-12s %-8s %10s %12s %12s %12s %s\n' "$kind:$major" "$1" "$2" \
        "$(mb "$read")" "$(mb "$(newest stored_size)")" "$3" "$4" >>"$INCR_BENCH_RESULTS"
}

# Bytes of the 8 KiB blocks of base/ and global/ that differ between the copy and the data
# directory (blocks that are new count too).
changed_bytes() {
    python3 - "$1" "$data" <<'PY'
import os, sys
before, after = sys.argv[1], sys.argv[2]
changed = 0
for top in ("base", "global"):
    for d, _, files in os.walk(os.path.join(after, top)):
        for f in files:
            a = os.path.join(d, f)
            b = os.path.join(before, os.path.relpath(a, after))
            try:
                fb = open(b, "rb")
            except FileNotFoundError:
                changed += os.path.getsize(a)
                continue
            with open(a, "rb") as fa, fb:
                while True:
                    x = fa.read(8192)
                    if not x:
                        break
                    if x != fb.read(8192):
                        changed += len(x)
print(changed)
PY
}

[[ $major == 17 ]] && extra_conf="summarize_wal = on" || extra_conf=""
bench_start_cluster
[[ -n $extra_conf ]] && { echo "$extra_conf" >>"$data/postgresql.conf"; as_postgres "$bin/pg_ctl" -D "$data" -w restart -l "$work/server.log" >/dev/null; }
bench_add_instance
echo "== $kind on PostgreSQL $major in $work"

case $kind in
pgbench)
    full=$(timed_backup --type full)
    report full "$full" - ""
    rm -rf "$work/before" && cp -a "$data" "$work/before"
    "$client/pgbench" -h "$socket" -p "$port" -U postgres -T 20 -c 2 postgres >/dev/null 2>&1
    # The backup mode's checkpoint writes what pgbench left dirty; timed on its own, as the
    # full backup began on a clean checkpoint too.
    start=$(date +%s.%N)
    psql_do -c CHECKPOINT
    printf '%-12s %-8s %10s %12s %12s %12s %s\n' "$kind:$major" checkpt \
        "$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')" - - - \
        "the server's own, after pgbench (not a backup)" >>"$INCR_BENCH_RESULTS"
    incr=$(timed_backup --type incr)
    changed=$(changed_bytes "$work/before")
    stored=$(newest stored_size)
    report incr "$incr" "$(mb "$changed")" "$(awk -v s="$stored" -v c="$changed" -v i="$incr" -v f="$full" \
        'BEGIN { printf "stored/changed %.2f, time/full %.2f", s / c, i / f }')"
    ;;
static)
    psql_do -c "CREATE TABLE static AS SELECT g AS id, repeat(md5(g::text), 6) AS filler
                FROM generate_series(1, 4000000) g" \
        -c "CREATE TABLE busy (id int PRIMARY KEY, n int)" \
        -c "INSERT INTO busy SELECT g, 0 FROM generate_series(1, 1000) g" -c "CHECKPOINT"
    # The cluster's files without its WAL, which a backup does not copy from pg_wal.
    size=$(du -sb --exclude=pg_wal "$data" | cut -f1)
    full=$(timed_backup --type full)
    report full "$full" - "cluster $(mb "$size") MB"
    for i in $(seq 1 200); do echo "UPDATE busy SET n = n + 1 WHERE id = $((i * 5));"; done | psql_do
    incr=$(timed_backup --type incr)
    stored=$(newest stored_size)
    report incr "$incr" - "$(awk -v s="$stored" -v c="$size" 'BEGIN { printf "stored/cluster %.3f", s / c }')"
    ;;
resume)
    full=$(timed_backup --type full)
    whole=$(newest stored_size) first=$(newest id)
    report full "$full" - ""
    # A second full backup, killed once 80 % of the first one's stored bytes are in place.
    "$pgulo" backup bench --quiet --jobs "$jobs" --type full --no-resume >"$work/killed.log" 2>&1 &
    pid=$!
    repo="$PGULO_HOME/repo/bench"
    while kill -0 "$pid" 2>/dev/null; do
        stored=$(du -sb --exclude="$first" "$repo" 2>/dev/null | cut -f1)
        if [[ -n $stored && $stored -ge $((whole * 8 / 10)) ]]; then
            kill -KILL "$pid"
            break
        fi
        sleep 0.05
    done
    wait "$pid" 2>/dev/null || true
    resumed=$(timed_backup --type full)
    kept=$(newest kept_bytes) total=$(newest size)
    report resumed "$resumed" - "$(awk -v k="$kept" -v t="$total" \
        'BEGIN { printf "copied %.1f %% of the bytes", 100 * (t - k) / t }')"
    ;;
*) die "unknown case $kind" ;;
esac
