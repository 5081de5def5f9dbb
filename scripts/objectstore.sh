#!/usr/bin/env bash
# A real S3-compatible object store on the loopback interface, for the tests: the Debian
# packages' object storage servers (proxy with its S3 and temporary-auth middleware, account,
# container and object servers, one replica) plus memcached.
# Needs the packages swift-proxy, swift-account, swift-container, swift-object, memcached,
# awscli and curl (scripts/setup.sh installs them).
#
#   objectstore.sh start   starts everything (already running: nothing to do) and creates the
#                          test bucket
#   objectstore.sh stop    stops every process start launched
#   objectstore.sh env     prints the variables a test needs, as shell exports
#
# Every file (configs, rings, data, logs, pids) lives under one directory:
#   PGULO_OBJECTSTORE_DIR  (default /var/tmp/pgulo-objectstore)
#
# The servers read the hash path prefix and suffix from /etc/swift/swift.conf, which the
# package installs; they have no option to read it from elsewhere, so the store uses that file
# as it is and writes nothing outside its directory.
set -euo pipefail

readonly DIR="${PGULO_OBJECTSTORE_DIR:-/var/tmp/pgulo-objectstore}"
readonly ETC="$DIR/etc" SRV="$DIR/srv" RUN="$DIR/run" LOGS="$DIR/log"
readonly ACCESS_KEY="test:tester" SECRET_KEY="testing" REGION="us-east-1" BUCKET="pgulo-test"
# A bucket that holds at most a kilobyte, for the "bucket is full" case.
readonly FULL_BUCKET="pgulo-full" FULL_QUOTA_BYTES=1024
readonly SERVERS=(account container object proxy)

log() { printf '[objectstore] %s\n' "$*" >&2; }
die() {
    printf '[objectstore] ERROR: %s\n' "$*" >&2
    exit 1
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The ports are chosen once: the rings record them, so a restart reuses them.
choose_ports() {
    [[ -f $ETC/ports ]] && return
    mkdir -p "$ETC"
    {
        for name in memcached "${SERVERS[@]}"; do
            echo "$name=$(free_port)"
        done
    } >"$ETC/ports.tmp"
    mv "$ETC/ports.tmp" "$ETC/ports"
}

port_of() { sed -n "s/^$1=//p" "$ETC/ports"; }

endpoint() { echo "http://127.0.0.1:$(port_of proxy)"; }

write_backend_config() {
    local name=$1
    cat >"$ETC/$name-server.conf" <<EOF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = $(port_of "$name")
devices = $SRV
mount_check = false
swift_dir = $ETC
workers = 0
user = $(id -un)
log_name = $name-server
# A line per request costs the store as much CPU as a small request itself; failures still log.
log_level = WARNING

[pipeline:main]
pipeline = $name-server

[app:$name-server]
use = egg:swift#$name

[$name-replicator]
[$name-updater]
[$name-auditor]
EOF
}

write_proxy_config() {
    cat >"$ETC/proxy-server.conf" <<EOF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = $(port_of proxy)
swift_dir = $ETC
workers = 0
user = $(id -un)
log_name = proxy-server
log_level = WARNING

[pipeline:main]
pipeline = catch_errors gatekeeper proxy-logging cache listing_formats s3api tempauth copy container-quotas slo dlo proxy-logging proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true

[filter:catch_errors]
use = egg:swift#catch_errors

[filter:gatekeeper]
use = egg:swift#gatekeeper

[filter:proxy-logging]
use = egg:swift#proxy_logging

[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:$(port_of memcached)

[filter:listing_formats]
use = egg:swift#listing_formats

[filter:s3api]
use = egg:swift#s3api
location = $REGION

[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = $SECRET_KEY .admin

[filter:copy]
use = egg:swift#copy

[filter:container-quotas]
use = egg:swift#container_quotas

[filter:slo]
use = egg:swift#slo

[filter:dlo]
use = egg:swift#dlo
EOF
}

# One replica on one device, a few partitions.
build_rings() {
    local name
    for name in account container object; do
        [[ -f $ETC/$name.ring.gz ]] && continue
        rm -f "$ETC/$name.builder"
        swift-ring-builder "$ETC/$name.builder" create 4 1 1 >/dev/null
        swift-ring-builder "$ETC/$name.builder" add "r1z1-127.0.0.1:$(port_of "$name")/d1" 100 >/dev/null
        swift-ring-builder "$ETC/$name.builder" rebalance >/dev/null
    done
}

alive() {
    local pid_file="$RUN/$1.pid"
    [[ -f $pid_file ]] && kill -0 "$(cat "$pid_file")" 2>/dev/null
}

launch() {
    local name=$1
    shift
    alive "$name" && return
    "$@" >>"$LOGS/$name.log" 2>&1 &
    echo $! >"$RUN/$name.pid"
}

aws_store() {
    AWS_ACCESS_KEY_ID=$ACCESS_KEY AWS_SECRET_ACCESS_KEY=$SECRET_KEY AWS_DEFAULT_REGION=$REGION \
        aws --endpoint-url "$(endpoint)" "$@"
}

wait_until_ready() {
    local deadline=$((SECONDS + 60))
    until aws_store s3api list-buckets >/dev/null 2>&1; do
        ((SECONDS < deadline)) || die "the store did not answer within 60 s; see $LOGS"
        for name in memcached "${SERVERS[@]}"; do
            alive "$name" || die "the $name server exited; see $LOGS/$name.log"
        done
        sleep 0.5
    done
}

# S3 has no call that sets a quota: the store's native API does, with a token from its
# temporary auth.
create_full_bucket() {
    local answer token storage_url
    answer=$(curl -sSf -D - -o /dev/null -H "X-Auth-User: $ACCESS_KEY" -H "X-Auth-Key: $SECRET_KEY" \
        "$(endpoint)/auth/v1.0") || die "the store's auth refused the test user"
    token=$(sed -n 's/^x-auth-token: *//Ip' <<<"$answer" | tr -d '\r')
    storage_url=$(sed -n 's/^x-storage-url: *//Ip' <<<"$answer" | tr -d '\r')
    curl -sSf -o /dev/null -X PUT -H "X-Auth-Token: $token" \
        -H "X-Container-Meta-Quota-Bytes: $FULL_QUOTA_BYTES" "$storage_url/$FULL_BUCKET" ||
        die "the store did not create the bucket $FULL_BUCKET"
}

start() {
    [[ -f /etc/swift/swift.conf ]] || die "/etc/swift/swift.conf is missing (install swift-proxy)"
    [[ -d $DIR ]] || mkdir -p "$DIR"
    if [[ -n "$(find "$DIR" -maxdepth 0 ! -user "$(id -un)")" ]]; then
        die "$DIR belongs to another user"
    fi
    mkdir -p "$ETC" "$SRV/d1" "$RUN" "$LOGS"
    choose_ports
    for name in account container object; do
        write_backend_config "$name"
    done
    write_proxy_config
    build_rings
    launch memcached memcached -l 127.0.0.1 -p "$(port_of memcached)" -U 0 -m 64 -u "$(id -un)"
    for name in "${SERVERS[@]}"; do
        launch "$name" "swift-$name-server" "$ETC/$name-server.conf" --verbose
    done
    wait_until_ready
    aws_store s3api head-bucket --bucket "$BUCKET" >/dev/null 2>&1 ||
        aws_store s3api create-bucket --bucket "$BUCKET" >/dev/null
    create_full_bucket
    log "running at $(endpoint), bucket $BUCKET, files under $DIR"
}

stop() {
    local name pid
    for name in proxy object container account memcached; do
        [[ -f $RUN/$name.pid ]] || continue
        pid=$(cat "$RUN/$name.pid")
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid"
            # A server that ignores the polite request within five seconds is killed.
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
        fi
        rm -f "$RUN/$name.pid"
    done
    log "stopped"
}

print_env() {
    [[ -f $ETC/ports ]] || die "the store was never started (run: $0 start)"
    cat <<EOF
export PGULO_S3_ENDPOINT=$(endpoint)
export PGULO_S3_REGION=$REGION
export PGULO_S3_BUCKET=$BUCKET
export PGULO_S3_FULL_BUCKET=$FULL_BUCKET
export PGULO_S3_ACCESS_KEY=$ACCESS_KEY
export PGULO_S3_SECRET_KEY=$SECRET_KEY
EOF
}

case "${1:-}" in
start) start ;;
stop) stop ;;
env) print_env ;;
*) die "usage: $0 start|stop|env" ;;
esac
