#!/usr/bin/env bash
# A full backup of a pgbench cluster into the object store against one into a local
# repository (same run, default compression), then a restore from each, side by side: wall time
# and peak memory (/usr/bin/time -v) of each, with the ratios.
# Goals: object store time <= 1.5 x local, for the backup and for the restore; peak memory of
# the object store's side < 150 MB.
#
# Usage: bash bench/s3_bench.sh [BUILD_DIR]
# Environment: SCALE (default 100), JOBS (pgulo --jobs, default 2), KEEP=1 keeps the work
#              directory. The store of scripts/objectstore.sh: its variables when exported
#              (eval "$(scripts/objectstore.sh env)"), else one is started for the run and
#              stopped after it.
# Runs as root; the server runs as OS user postgres. Needs Debian's PostgreSQL 15.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${PGULO_BUILD_DIR:-$root/build}}"
pgulo="$build/cli/pgulo"
scale="${SCALE:-100}"
jobs="${JOBS:-2}"
client=/usr/lib/postgresql/15/bin bin=/usr/lib/postgresql/15/bin lib=/usr/lib/x86_64-linux-gnu
source "$root/bench/bench_cluster.sh"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (apt-get install time)"

if [[ -z ${PGULO_S3_ENDPOINT:-} ]]; then
    export PGULO_OBJECTSTORE_DIR="$work/objectstore"
    bash "$root/scripts/objectstore.sh" start
    trap 'bash "$root/scripts/objectstore.sh" stop; bench_cleanup' EXIT
    eval "$(bash "$root/scripts/objectstore.sh" env)"
fi
export AWS_ENDPOINT_URL="$PGULO_S3_ENDPOINT" AWS_REGION="$PGULO_S3_REGION"
export AWS_ACCESS_KEY_ID="$PGULO_S3_ACCESS_KEY" AWS_SECRET_ACCESS_KEY="$PGULO_S3_SECRET_KEY"
s3repo="s3://$PGULO_S3_BUCKET/bench-$$"
localrepo="$work/repo"
out="$work/out"
mkdir -p "$out"

echo "== PostgreSQL 15 cluster, pgbench scale $scale, in $work"
bench_start_cluster
echo "   data directory: $(du -sh "$data" | cut -f1)"
bench_add_instance

# One measured run: the tool's own output goes to a file, time -v's report to another.
measure() {
    local name=$1
    shift
    /usr/bin/time -v -o "$out/$name.time" "$@" >"$out/$name.log" 2>&1 ||
        { cat "$out/$name.log" >&2; die "$name failed"; }
}
wall() { # seconds of a run
    sed -n 's/.*Elapsed (wall clock) time.*: //p' "$out/$1.time" |
        awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }'
}
peak() { # MB of a run
    awk '/Maximum resident set size/ { print $NF / 1024 }' "$out/$1.time"
}
restore_dir() { # a fresh directory owned by the server's user, as a data directory needs
    rm -rf "$work/$1" && mkdir -m 700 "$work/$1" && chown postgres "$work/$1"
    echo "$work/$1"
}

echo "== backups"
measure backup_local "$pgulo" backup bench -q --jobs "$jobs" --repo "$localrepo"
measure backup_s3 "$pgulo" backup bench -q --jobs "$jobs" --repo "$s3repo"
echo "== restores"
measure restore_local "$pgulo" restore bench -q --jobs "$jobs" --repo "$localrepo" \
    --pgdata "$(restore_dir restored_local)"
rm -rf "$work/restored_local" "$work/restored_local.restore_wal"
measure restore_s3 "$pgulo" restore bench -q --jobs "$jobs" --repo "$s3repo" \
    --pgdata "$(restore_dir restored_s3)"
rm -rf "$work/restored_s3" "$work/restored_s3.restore_wal"
aws --endpoint-url "$PGULO_S3_ENDPOINT" s3 rm --recursive --quiet "$s3repo/" || true

echo
printf '%-10s %12s %12s %12s %12s %10s %10s\n' step "local (s)" "s3 (s)" "local (MB)" "s3 (MB)" \
    "time x" "memory x"
for step in backup restore; do
    awk -v s="$step" -v lw="$(wall "${step}_local")" -v sw="$(wall "${step}_s3")" \
        -v lm="$(peak "${step}_local")" -v sm="$(peak "${step}_s3")" \
        'BEGIN { printf "%-10s %12.2f %12.2f %12.1f %12.1f %10.2f %10.2f\n", s, lw, sw, lm, sm,
                 sw / lw, sm / lm }'
done
echo
echo "goals: time x <= 1.50 for both steps; s3 peak memory < 150 MB"
