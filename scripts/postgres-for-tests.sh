#!/usr/bin/env bash
# A throwaway PostgreSQL 15 cluster for the server's tests, on 127.0.0.1 only, with trust authentication.
#     postgres-for-tests.sh start DIR   makes a fresh cluster in DIR, starts it on a free port, and writes its
#                                       address (postgresql://tapvela@127.0.0.1:PORT/postgres) to DIR/url
#     postgres-for-tests.sh stop DIR    stops it and removes DIR; nothing to do when DIR is gone
#     postgres-for-tests.sh pause DIR   stops it, keeping its data (a database restarting, for the tests of that)
#     postgres-for-tests.sh resume DIR  starts it again on the same port
# PostgreSQL refuses to run as root: run as root, the cluster belongs to the postgres system user. When that user
# cannot reach DIR (a checkout under a private home), the cluster lives in a folder of /tmp that DIR/data leads to.
# Durability is off: the cluster holds test data only, and dies with the test run.
set -euo pipefail

bin=/usr/lib/postgresql/15/bin

fail() {
    echo "postgres-for-tests: $*" >&2
    exit 1
}

usage() {
    echo "usage: $0 start|stop|pause|resume DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
dir=$2
[ -n "$dir" ] || usage

# Runs a PostgreSQL program as the cluster's owner: `postgres` when we are root, ourselves otherwise.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u "$owner" -- "$@"
    else
        "$@"
    fi
}

# The data folder of the cluster in $dir (a link when it lives in /tmp), or nothing.
data_of() {
    [ -e "$dir/data" ] && readlink -f "$dir/data"
}

# Stops the cluster in $dir, if one runs there, and removes $dir.
stop() {
    local data pid
    data=$(data_of) || true
    if [ -n "$data" ] && [ -f "$data/postmaster.pid" ]; then
        owner=$(stat -c %U "$data")
        if ! as_owner "$bin/pg_ctl" stop -D "$data" -m fast -w -t 60 >/dev/null 2>&1; then
            # Still there after a minute, or its owner's pg_ctl could not act: the postmaster itself goes, and
            # its backends follow it.
            pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null || true)
            if [[ "$pid" =~ ^[0-9]+$ ]] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = postgres ]; then
                kill -KILL "$pid" 2>/dev/null || true
                for _ in $(seq 100); do
                    [ -e "/proc/$pid" ] || break
                    sleep 0.1
                done
                [ ! -e "/proc/$pid" ] || fail "the postmaster $pid of $data did not stop"
            fi
        fi
    fi
    if [ -n "$data" ] && [ "$data" != "$dir/data" ]; then
        rm -rf "$(dirname "$data")"
    fi
    rm -rf "$dir"
}

# True when something accepts connections on 127.0.0.1:$1.
port_taken() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

start() {
    local program
    for program in initdb pg_ctl postgres; do
        [ -x "$bin/$program" ] || fail "$bin/$program is missing: install Debian's postgresql-15 (scripts/install-deps.sh does)"
    done
    [ -x "$bin/pg_isready" ] || fail "$bin/pg_isready is missing: install Debian's postgresql-client-15 (postgresql-15 depends on it)"
    # A cluster left by an interrupted run goes first: every run starts from an empty one.
    stop
    if [ "$(id -u)" -eq 0 ]; then
        owner=postgres
        id postgres >/dev/null 2>&1 || fail "there is no postgres system user to run the cluster as (root cannot): install Debian's postgresql-15"
    else
        owner=$(id -un)
    fi
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    local data=$dir/data socket=$dir
    if [ "$(id -u)" -eq 0 ]; then
        chown "$owner:" "$dir"
        if ! runuser -u "$owner" -- test -w "$dir"; then
            local place
            place=$(mktemp -d /tmp/tapvela-postgres.XXXXXX)
            chown "$owner:" "$place"
            ln -s "$place/data" "$data"
            data=$place/data
            socket=$place
        fi
    fi
    # A Unix socket's path holds at most 107 bytes; the tests use TCP only, so a deep DIR just goes without one.
    [ ${#socket} -le 90 ] || socket=""

    if ! as_owner "$bin/initdb" -D "$data" -U tapvela --auth=trust -E UTF8 --locale=C.UTF-8 --no-sync \
        >"$dir/initdb.log" 2>&1; then
        cat "$dir/initdb.log" >&2
        fail "initdb failed in $data"
    fi
    # Trust is given on 127.0.0.1 and on the socket in our own folder, and to nobody else.
    as_owner tee "$data/pg_hba.conf" >/dev/null <<'EOF'
local all all trust
host all all 127.0.0.1/32 trust
EOF
    as_owner tee -a "$data/postgresql.conf" >/dev/null <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$socket'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
EOF

    # Another program may take the port between our look and the server's bind: then another port is tried.
    local port="" attempt candidate
    for attempt in $(seq 20); do
        candidate=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        port_taken "$candidate" && continue
        rm -f "$data/server.log"
        if as_owner "$bin/pg_ctl" start -D "$data" -w -t 60 -l "$data/server.log" -o "-p $candidate" \
            >/dev/null 2>&1; then
            port=$candidate
            break
        fi
        as_owner "$bin/pg_ctl" stop -D "$data" -m immediate >/dev/null 2>&1 || true
        grep -q 'could not bind\|could not create any TCP/IP sockets' "$data/server.log" 2>/dev/null ||
            { cat "$data/server.log" >&2 || true; fail "PostgreSQL did not start in $data (its log is above)"; }
    done
    [ -n "$port" ] || fail "found no free port for PostgreSQL after 20 tries"

    local ready=""
    for _ in $(seq 60); do
        if "$bin/pg_isready" -q -h 127.0.0.1 -p "$port" -U tapvela -d postgres -t 1; then
            ready=1
            break
        fi
        sleep 0.5
    done
    if [ -z "$ready" ]; then
        cat "$data/server.log" >&2 || true
        stop
        fail "PostgreSQL on 127.0.0.1:$port did not accept connections within 30 s"
    fi
    echo "postgresql://tapvela@127.0.0.1:$port/postgres" >"$dir/url.new"
    mv "$dir/url.new" "$dir/url"
    echo "PostgreSQL 15 at $(cat "$dir/url"), data in $data"
}

# Stops or starts again the cluster in $dir, its data kept.
pause() {
    local data
    data=$(data_of) || fail "no cluster in $dir"
    owner=$(stat -c %U "$data")
    as_owner "$bin/pg_ctl" stop -D "$data" -m fast -w -t 60 >/dev/null || fail "PostgreSQL in $data did not stop"
}
resume() {
    local data port
    data=$(data_of) || fail "no cluster in $dir"
    owner=$(stat -c %U "$data")
    port=$(sed -n 's|^postgresql://[^@]*@127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$dir/url")
    [ -n "$port" ] || fail "no port in $dir/url"
    as_owner "$bin/pg_ctl" start -D "$data" -w -t 60 -l "$data/server.log" -o "-p $port" >/dev/null ||
        fail "PostgreSQL did not start again in $data"
}

owner=""
case "$command" in
start) start ;;
stop) stop ;;
pause) pause ;;
resume) resume ;;
*) usage ;;
esac
