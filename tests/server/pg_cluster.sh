#!/bin/sh
# A throw-away PostgreSQL cluster for the tests: pg_cluster.sh start DIR PORT | stop DIR PORT.
# start: a fresh cluster in DIR (whatever was there is stopped and removed first), listening on
# 127.0.0.1:PORT only, its unix socket in DIR, trust authentication, database "kest";
# stop: stops it and removes DIR. Both print nothing on success; on failure the server log goes
# to standard error and the exit status is not 0. As root the cluster runs as user postgres.
# Durability is switched off: the cluster lives for one test run. The locale is C.UTF-8 so that
# pg_trgm indexes Chinese characters (under the "C" locale they are not word characters).
set -eu

usage() {
    echo "usage: $0 start|stop DIR PORT" >&2
    exit 2
}
[ $# -eq 3 ] || usage
action=$1
dir=$2
port=$3

bindir=${KEST_PG_BINDIR:-}
if [ -z "$bindir" ]; then
    for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        if [ -x "$d/initdb" ]; then
            bindir=$d
            break
        fi
    done
fi
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    echo "$0: PostgreSQL server binaries not found (Debian package postgresql)" >&2
    exit 1
fi

# Runs a command as the cluster's owner.
as_owner() {
    if [ "$(id -u)" = "0" ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

stop_cluster() {
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    fi
}

fail() {
    echo "$0: $1" >&2
    for f in "$dir/setup.log" "$dir/server.log"; do
        if [ -f "$f" ]; then cat "$f" >&2; fi
    done
    exit 1
}

case "$action" in
start)
    stop_cluster
    rm -rf "$dir"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" = "0" ]; then
        chown postgres: "$dir"
    fi
    as_owner "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
        >"$dir/setup.log" 2>&1 || fail "initdb failed"
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200" \
        start >/dev/null 2>&1 || fail "the server did not start on port $port"
    as_owner "$bindir/createdb" -h "$dir" -p "$port" -U postgres kest >>"$dir/setup.log" 2>&1 ||
        fail "createdb failed"
    # pg_trgm in the template too, so every database a test creates has it from the start.
    for db in template1 kest; do
        as_owner "$bindir/psql" -h "$dir" -p "$port" -U postgres -d "$db" -q -v ON_ERROR_STOP=1 \
            -c "CREATE EXTENSION IF NOT EXISTS pg_trgm" >>"$dir/setup.log" 2>&1 ||
            fail "pg_trgm is missing (Debian package postgresql-contrib)"
    done
    ;;
stop)
    stop_cluster
    rm -rf "$dir"
    ;;
*)
    usage
    ;;
esac
