#!/usr/bin/env bash
# Full backup of a pgbench cluster (scale 100, about 1.5 GB) by each tool in turn, side by side,
# each run RUNS times:
#   pgulo backup, once per option set of PGULO_MODES (default options, --compress none,
#                 --encrypt; a set with an option this pgulo does not know is shown as n/a)
#   pg_basebackup -Fp -X stream -c fast
#   pgbackrest    (Debian's package, installed when absent) --type=full, process-max=2,
#                 start-fast=y, compress-type lz4 and zst, its own configuration and repository
#                 in the work directory; meanwhile the archive_command copies each segment into
#                 pgulo's archive directory, then pushes it with pgbackrest's archive-push
#   cp -a         of base/ and global/ (a plain copy of the data files)
#   dd            conv=fsync of as many bytes as the data directory holds (the disk's floor)
# and the median wall time, CPU time, peak memory (from /usr/bin/time -v) and repository size
# of each, with the ratios: pgulo (default) against pg_basebackup and pgbackrest zst, pgulo
# --compress none against the dd floor, --encrypt against the default.
#
# Usage: bash bench/cli_backup_bench.sh [BUILD_DIR]
# Environment: SCALE (default 100), RUNS (default 3), PGULO_BENCH_MAJOR (default 15),
#              JOBS (pgulo --jobs, default: cores), KEEP=1 keeps the work directory,
#              PGULO_MODES: pgulo's option sets, "name=options" separated by ";"
#              (default "default=;none=--compress none;encrypt=--encrypt").
# Runs as root; the server and pgbackrest run as OS user postgres. Needs Debian's PostgreSQL 15
# client tools.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${PGULO_BUILD_DIR:-$root/build}}"
pgulo="$build/cli/pgulo"
scale="${SCALE:-100}"
runs="${RUNS:-3}"
major="${PGULO_BENCH_MAJOR:-15}"
jobs="${JOBS:-$(nproc)}"
modes="${PGULO_MODES:-default=;none=--compress none;encrypt=--encrypt}"
client=/usr/lib/postgresql/15/bin

if [[ $major == 15 ]]; then
    bin=/usr/lib/postgresql/15/bin lib=/usr/lib/x86_64-linux-gnu
else
    bin=/var/cache/pgulo/pg/$major/pkg/native/bin lib=/var/cache/pgulo/pg/$major/pkg/native/lib
fi
source "$root/bench/bench_cluster.sh"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (apt-get install time)"
if ! command -v pgbackrest >/dev/null; then
    echo "== installing pgbackrest"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pgbackrest >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pgbackrest >/dev/null; } ||
        die "pgbackrest could not be installed"
fi
out="$work/out"
mkdir -p "$out"
echo "== PostgreSQL $major cluster, pgbench scale $scale, in $work"
bench_start_cluster
data_bytes=$(du -sb "$data" | cut -f1)
echo "   data directory: $(du -sh "$data" | cut -f1)"
bench_add_instance

# pgbackrest's side: configuration, repository and the archive command that feeds both.
br="$work/pgbackrest"
mkdir -p "$br/repo" "$br/log" "$br/lock" "$br/spool"
cat >"$br/pgbackrest.conf" <<CONF
[global]
repo1-path=$br/repo
log-path=$br/log
lock-path=$br/lock
spool-path=$br/spool
log-level-console=warn
process-max=2
start-fast=y

[bench]
pg1-path=$data
pg1-socket-path=$socket
pg1-port=$port
pg1-user=postgres
CONF
cat >"$br/archive.sh" <<SCRIPT
#!/bin/sh
# archive_command for the pgbackrest runs: pgulo's archive stays whole, then pgbackrest's.
cp "\$1" "$archive/\$2" && exec pgbackrest --config="$br/pgbackrest.conf" --stanza=bench archive-push "\$1"
SCRIPT
chmod 755 "$br/archive.sh"
chown -R postgres "$br"
pgbackrest_cmd() { as_postgres pgbackrest --config="$br/pgbackrest.conf" --stanza=bench "$@"; }

# Only the pgbackrest runs pay for its archive-push: the others archive with a plain copy.
archive_with() {
    "$client/psql" -X -q -h "$socket" -p "$port" -U postgres postgres \
        -c "ALTER SYSTEM SET archive_command = '$1'" -c "SELECT pg_reload_conf()" >/dev/null
}

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

record() { # name run repository-bytes
    local name=$1 run=$2 bytes=$3 file="$out/$1.$2.time"
    local wall user sys rss
    wall=$(seconds "$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$file")")
    user=$(sed -n 's/.*User time (seconds): //p' "$file")
    sys=$(sed -n 's/.*System time (seconds): //p' "$file")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$file")
    echo "$name $wall $(awk "BEGIN { print $user + $sys }") $rss $bytes" >>"$out/results"
}

bytes_of() { du -sb "$1" | cut -f1; }

# The pgulo option sets this pgulo takes; the others are reported as n/a.
pgulo_help=$("$pgulo" backup --help 2>&1)
declare -a mode_names=() mode_options=()
IFS=';' read -r -a mode_list <<<"$modes"
for entry in "${mode_list[@]}"; do
    name="${entry%%=*}" options="${entry#*=}"
    known=1
    for word in $options; do
        if [[ $word == --* ]] && ! grep -q -- "${word%%=*}\b" <<<"$pgulo_help"; then known=0; fi
    done
    if ((known)); then
        mode_names+=("$name") mode_options+=("$options")
    else
        echo "   pgulo $name ($options): option not known to this pgulo, shown as n/a"
    fi
done

for run in $(seq 1 "$runs"); do
    echo "== run $run of $runs"
    for i in "${!mode_names[@]}"; do
        rm -rf "$PGULO_HOME/repo"
        # shellcheck disable=SC2086 # the option set is split into words on purpose
        measure "pgulo_${mode_names[$i]}" "$run" "$pgulo" backup bench --quiet --jobs "$jobs" \
            ${mode_options[$i]}
        record "pgulo_${mode_names[$i]}" "$run" "$(bytes_of "$PGULO_HOME/repo")"
    done
    rm -rf "$PGULO_HOME/repo"

    measure pg_basebackup "$run" "$client/pg_basebackup" -h "$socket" -p "$port" -U postgres \
        -D "$work/basebackup" -Fp -X stream -c fast
    record pg_basebackup "$run" "$(bytes_of "$work/basebackup")"
    rm -rf "$work/basebackup"

    archive_with "$br/archive.sh %p %f"
    for type in lz4 zst; do
        rm -rf "$br/repo" && mkdir "$br/repo" && chown postgres "$br/repo"
        pgbackrest_cmd stanza-create >"$out/stanza.log" 2>&1 ||
            { cat "$out/stanza.log" >&2; die "pgbackrest stanza-create failed"; }
        measure "pgbackrest_$type" "$run" runuser -u postgres -- pgbackrest \
            --config="$br/pgbackrest.conf" --stanza=bench --type=full --compress-type="$type" backup
        record "pgbackrest_$type" "$run" "$(bytes_of "$br/repo")"
    done
    archive_with "cp %p $archive/%f"

    mkdir -p "$work/copy"
    measure cp "$run" cp -a "$data/base" "$data/global" "$work/copy/"
    record cp "$run" "$(bytes_of "$work/copy")"
    rm -rf "$work/copy"

    measure dd "$run" dd if=/dev/zero of="$work/floor" bs=1M count=$((data_bytes / 1048576)) \
        conv=fsync status=none
    record dd "$run" "$(bytes_of "$work/floor")"
    rm -f "$work/floor"
done

median() { # tool column; empty when the tool did not run
    awk -v t="$1" -v c="$2" '$1 == t { print $c }' "$out/results" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

tools=()
for entry in "${mode_list[@]}"; do tools+=("pgulo_${entry%%=*}"); done
tools+=(pg_basebackup pgbackrest_lz4 pgbackrest_zst cp dd)

echo
printf '%-20s %10s %10s %10s %12s\n' tool "wall (s)" "CPU (s)" "peak (MB)" "repo (MB)"
for tool in "${tools[@]}"; do
    if [[ -z $(median "$tool" 2) ]]; then
        printf '%-20s %10s %10s %10s %12s\n' "$tool" n/a n/a n/a n/a
        continue
    fi
    printf '%-20s %10.2f %10.2f %10.1f %12.1f\n' "$tool" "$(median "$tool" 2)" "$(median "$tool" 3)" \
        "$(awk "BEGIN { print $(median "$tool" 4) / 1024 }")" \
        "$(awk "BEGIN { print $(median "$tool" 5) / 1048576 }")"
done

ratio() { # label tool-a tool-b column
    local a b
    a=$(median "$2" "$4") b=$(median "$3" "$4")
    if [[ -z $a || -z $b ]]; then
        printf '%-48s %s\n' "$1" n/a
    else
        awk -v l="$1" -v a="$a" -v b="$b" 'BEGIN { printf "%-48s %.2f\n", l, a / b }'
    fi
}
echo
ratio "pgulo default / pg_basebackup, wall:" pgulo_default pg_basebackup 2
ratio "pgulo default / pg_basebackup, repository:" pgulo_default pg_basebackup 5
ratio "pgulo default / pgbackrest zst, wall:" pgulo_default pgbackrest_zst 2
ratio "pgulo default / pgbackrest zst, repository:" pgulo_default pgbackrest_zst 5
ratio "pgulo --compress none / dd floor, wall:" pgulo_none dd 2
ratio "pgulo --encrypt / pgulo default, wall:" pgulo_encrypt pgulo_default 2
