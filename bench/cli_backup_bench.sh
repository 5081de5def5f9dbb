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

die() { echo "bench: $*" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || die "run as root (the server runs as postgres)"
[[ -x $pgulo ]] || die "no pgulo at $pgulo; build the pgulo_cli target first"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (apt-get install time)"
if [[ $major == 15 ]]; then
    bin=/usr/lib/postgresql/15/bin lib=/usr/lib/x86_64-linux-gnu
else
    bin=/var/cache/pgulo/pg/$major/pkg/native/bin lib=/var/cache/pgulo/pg/$major/pkg/native/lib
fi
[[ -x $bin/postgres ]] || die "PostgreSQL $major is not installed in $bin"

work="$(mktemp -d /tmp/pgulo-bench-XXXXXX)"
chmod 755 "$work"
data="$work/data" archive="$work/archive" socket="$work/socket" out="$work/out"
export PGULO_HOME="$work/home"
port=$((20000 + RANDOM % 20000))

as_postgres() { runuser -u postgres -- "$@"; }
cleanup() {
    if [[ -f $data/postmaster.pid ]]; then
        (cd / && as_postgres "$bin/pg_ctl" -D "$data" -m immediate -w stop >/dev/null 2>&1) || true
    fi
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

mkdir -p "$archive" "$socket" "$out"
chown postgres "$work" "$archive" "$socket"
cd /
echo "== PostgreSQL $major cluster, pgbench scale $scale, in $work"
as_postgres "$bin/initdb" -D "$data" -U postgres --auth=trust -E UTF8 --locale=C --no-sync >/dev/null
cat >>"$data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$socket'
port = $port
wal_level = replica
max_wal_senders = 4
archive_mode = on
archive_command = 'cp %p $archive/%f'
max_wal_size = 4GB
EOF
as_postgres "$bin/pg_ctl" -D "$data" -l "$work/server.log" -w start >/dev/null
"$client/pgbench" -h "$socket" -p "$port" -U postgres -i -q -s "$scale" postgres >/dev/null 2>&1
"$client/psql" -X -q -h "$socket" -p "$port" -U postgres -c "CHECKPOINT" postgres
echo "   data directory: $(du -sh "$data" | cut -f1)"

"$pgulo" instance add bench --pgdata "$data" --bindir "$bin" --libdir "$lib" --port "$port" \
    --user postgres --archive-dir "$archive" --socket-dir "$socket" \
    --agent-option start_backup_immediate:on --password-stdin <<<"" >/dev/null

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
