# Sourced by the benchmark scripts: a throwaway pgbench cluster run as OS user postgres, with
# WAL archiving, and the pgulo instance "bench" registered for it.
# Before sourcing set: pgulo, bin and lib (the server's programs and libpq), client (pgbench and
# psql of Debian's PostgreSQL 15), scale. Sets: work, data, archive, socket, port, PGULO_HOME;
# every data directory listed in bench_servers is stopped on exit, and work removed unless
# KEEP=1.

die() { echo "bench: $*" >&2; exit 1; }
as_postgres() { runuser -u postgres -- "$@"; }

[[ $(id -u) -eq 0 ]] || die "run as root (the server runs as postgres)"
pgulo="$(readlink -f "$pgulo")" # the cluster is made from /
[[ -x $pgulo ]] || die "no pgulo at $pgulo; build the pgulo_cli target first"
[[ -x $bin/postgres ]] || die "no PostgreSQL server in $bin"

work="$(mktemp -d /tmp/pgulo-bench-XXXXXX)"
chmod 755 "$work"
data="$work/data" archive="$work/archive" socket="$work/socket"
export PGULO_HOME="$work/home"
port=$((20000 + RANDOM % 20000))
bench_servers=("$data")

bench_cleanup() {
    local dir
    for dir in "${bench_servers[@]}"; do
        if [[ -f $dir/postmaster.pid ]]; then
            (cd / && as_postgres "$bin/pg_ctl" -D "$dir" -m immediate -w stop >/dev/null 2>&1) || true
        fi
    done
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap bench_cleanup EXIT

# The cluster: initdb, archiving into $archive, started, pgbench tables of $scale, checkpoint.
bench_start_cluster() {
    mkdir -p "$archive" "$socket"
    chown postgres "$work" "$archive" "$socket"
    cd /
    as_postgres "$bin/initdb" -D "$data" -U postgres --auth=trust -E UTF8 --locale=C \
        --no-sync >/dev/null
    cat >>"$data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$socket'
port = $port
wal_level = replica
max_wal_senders = 4
archive_mode = on
archive_command = 'cp %p $archive/%f'
max_wal_size = 4GB
CONF
    as_postgres "$bin/pg_ctl" -D "$data" -l "$work/server.log" -w start >/dev/null
    "$client/pgbench" -h "$socket" -p "$port" -U postgres -i -q -s "$scale" postgres >/dev/null 2>&1
    "$client/psql" -X -q -h "$socket" -p "$port" -U postgres -c "CHECKPOINT" postgres
}

bench_add_instance() {
    "$pgulo" instance add bench --pgdata "$data" --bindir "$bin" --libdir "$lib" --port "$port" \
        --user postgres --archive-dir "$archive" --socket-dir "$socket" \
        --agent-option start_backup_immediate:on --password-stdin <<<"" >/dev/null
}
