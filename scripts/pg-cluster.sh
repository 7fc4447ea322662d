#!/usr/bin/env bash
# Throw-away PostgreSQL 15 clusters on 127.0.0.1 for the demo, the tests and CI.
#   scripts/pg-cluster.sh start [--no-fsync] DIR   makes DIR's cluster the first time and starts it unless it
#                                                  runs; the last line on stdout is the libpq connection
#                                                  text (also in DIR/connection)
#   scripts/pg-cluster.sh stop DIR                 stops DIR's server by its pid; nothing when none runs
#   scripts/pg-cluster.sh status DIR               "running PID PORT" (exit 0) or "stopped" (exit 1)
#   scripts/pg-cluster.sh psql DIR [psql args]     psql on DIR's database
#   scripts/pg-cluster.sh prepare-install          keeps the Debian packages from making a cluster of their own
# DIR holds data/ (owned by the postgres user when run as root), password and pgpass (0600), connection,
# server.log. A cluster starts as a copy of a template made once by initdb, kept in $CORVANE_PG_TEMPLATE
# (default: build/pg-template in this repository). Exit codes: 0 done, 1 failed, 2 bad usage.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd -P)
bin=/usr/lib/postgresql/15/bin
superuser=corvane
database=reporting
# Bump when the template's settings change, so that cached templates are made again.
template_layout=1

die() { echo "pg-cluster: $*" >&2; exit 1; }
usage() {
    echo "usage: pg-cluster.sh start [--no-fsync] DIR | stop DIR | status DIR | psql DIR [psql args] | prepare-install" >&2
    exit 2
}

# The lock files this script holds open: a server started with one of them would hold that lock for good.
held_locks=()

# PostgreSQL refuses to run as root: its processes run as the postgres user then.
as_pg() {
    (
        for fd in "${held_locks[@]}"; do exec {fd}>&-; done
        cd /
        if [ "$(id -u)" -eq 0 ]; then exec runuser -u postgres -- "$@"; else exec "$@"; fi
    )
}
give_to_pg() { [ "$(id -u)" -ne 0 ] || chown postgres:postgres "$@"; }

# Without this, installing postgresql-15 on a fresh machine creates and starts a system cluster on
# port 5432. Written only before the first install, never behind an admin's back later.
prepare_install() {
    dpkg-query -W -f='${Status}' postgresql-15 2>/dev/null | grep -q "install ok installed" && return 0
    local conf=/etc/postgresql-common/createcluster.conf sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if [ -f "$conf" ]; then
        grep -Eq '^[[:space:]]*create_main_cluster[[:space:]]*=[[:space:]]*false' "$conf" && return 0
        $sudo sed -i -E 's/^([[:space:]]*create_main_cluster[[:space:]]*=)/#\1/' "$conf"
        echo "create_main_cluster = false" | $sudo tee -a "$conf" >/dev/null
    else
        $sudo mkdir -p "${conf%/*}"
        printf '%s\n' "# No cluster of the packages' own: the project starts throw-away clusters itself." \
            "create_main_cluster = false" | $sudo tee "$conf" >/dev/null
    fi
}

install_server() {
    [ -x "$bin/initdb" ] && [ -x "$bin/psql" ] && return 0
    prepare_install
    bash "$repo/scripts/install-packages.sh" postgresql-15 postgresql-client-15 >&2
}

# The postgres user must reach the folder; names the first folder on the way that it cannot enter.
check_reachable() {
    [ "$(id -u)" -eq 0 ] || return 0
    runuser -u postgres -- test -x "$1" && return 0
    local path="" part parts
    IFS=/ read -ra parts <<<"${1#/}"
    for part in "${parts[@]}"; do
        path="$path/$part"
        runuser -u postgres -- test -x "$path" ||
            die "the server runs as the postgres user, which cannot enter $path ($(stat -c '%A %U:%G' "$path")); make it traversable (chmod o+x) or use a folder elsewhere"
    done
}

absolute_dir() { mkdir -p "$1" && (cd "$1" && pwd -P); }

alive() {  # a process, and not a zombie nobody reaped yet
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# The pid of the server running on this data folder ("" when none): the first line of postmaster.pid,
# when that is a live process whose working folder is this data folder (never another server).
server_pid() {
    local data=$1 pid
    pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null || true)
    [[ $pid =~ ^[0-9]+$ ]] && alive "$pid" || return 0
    [ "$(readlink "/proc/$pid/cwd" 2>/dev/null || true)" != "$data" ] || echo "$pid"
}

# SIGINT is the fast shutdown; SIGQUIT the immediate one after ~10 s, SIGKILL 5 s later.
stop_pid() {
    local pid=$1 signal tries
    for signal in INT QUIT KILL; do
        kill -s "$signal" "$pid" 2>/dev/null || return 0
        tries=100
        [ $signal != INT ] || tries=200
        while ((tries-- > 0)); do
            alive "$pid" || return 0
            sleep 0.05
        done
    done
    die "the server (pid $pid) did not end after SIGKILL"
}

port_free() { [ -z "$(ss -Htln "sport = :$1" 2>/dev/null)" ]; }

# Below the kernel's range for outgoing ports, so that no client socket takes it meanwhile.
random_port() {
    local port
    for _ in $(seq 200); do
        port=$((20000 + SRANDOM % 12000))
        port_free "$port" && { echo "$port"; return 0; }
    done
    die "no free TCP port found on 127.0.0.1"
}

connection_port() { sed -n 's/^host=[^ ]* port=\([0-9][0-9]*\) .*/\1/p' "$1" 2>/dev/null || true; }

# libpq's quoting, for a value with spaces, quotes or backslashes.
conninfo_value() {
    local value=$1
    if [[ $value =~ ^[^[:space:]\'\\]+$ ]]; then
        printf '%s' "$value"
    else
        value=${value//\\/\\\\}
        value=${value//\'/\\\'}
        printf "'%s'" "$value"
    fi
}

new_password() { od -An -N24 -tx1 /dev/urandom | tr -d ' \n'; }

write_secret() {  # FILE TEXT: mode 0600 before the text is in it
    (umask 077 && printf '%s\n' "$2" >"$1.tmp") && mv -f "$1.tmp" "$1"
}

# Starts the server of a data folder on a free port (the preferred one when free); prints the port.
start_server() {
    local data=$1 log=$2 preferred=$3 options=$4 port before output=""
    for _ in 1 2 3 4 5; do
        port=$preferred
        if [ -z "$port" ] || ! port_free "$port"; then port=$(random_port); fi
        preferred=""
        before=$(stat -c %s "$log" 2>/dev/null || echo 0)
        if output=$(as_pg "$bin/pg_ctl" start -D "$data" -l "$log" -w -t 60 -s -o "-p $port $options" 2>&1); then
            echo "$port"
            return 0
        fi
        # Another process took the port between the check and the bind: another one.
        tail -c +"$((before + 1))" "$log" 2>/dev/null | grep -q "could not create any TCP/IP sockets" || break
    done
    echo "pg-cluster: the server of $data did not start: $output" >&2
    echo "pg-cluster: the end of its log $log:" >&2
    tail -c +"$((before + 1))" "$log" 2>/dev/null | tail -n 20 >&2
    return 1
}

run_psql() {  # PASSFILE PORT DBNAME [psql args]
    local passfile=$1 port=$2 dbname=$3
    shift 3
    PGCONNECT_TIMEOUT=10 "$bin/psql" -X -q -v ON_ERROR_STOP=1 \
        "host=127.0.0.1 port=$port dbname=$dbname user=$superuser passfile=$(conninfo_value "$passfile")" "$@"
}

settings() {
    cat <<'END'

# Corvane: a throw-away server on loopback for the demo and the tests, sized for a small machine.
listen_addresses = '127.0.0.1'
unix_socket_directories = ''
max_connections = 50
shared_buffers = 32MB
max_worker_processes = 4
max_parallel_workers = 2
max_parallel_workers_per_gather = 1
jit = off
log_line_prefix = '%m [%p] %q%u@%d '
END
}

# The template: initdb once, the settings, the database; shut down cleanly. The caller holds the lock.
make_template() {
    local root=$1 key=$2 work="$1/new.$$" port pid
    rm -rf "$root/current" "$root"/new.*
    mkdir -p "$work"
    write_secret "$work/password" "$(new_password)"
    write_secret "$work/pgpass" "127.0.0.1:*:*:$superuser:$(cat "$work/password")"
    cp "$work/password" "$work/pwfile"
    give_to_pg "$work" "$work/pwfile"
    echo "pg-cluster: making the template cluster in $root (initdb, once)" >&2
    as_pg "$bin/initdb" -D "$work/data" -U "$superuser" --pwfile="$work/pwfile" -E UTF8 --locale=C.UTF-8 \
        -A scram-sha-256 --no-instructions --no-sync >"$work/initdb.log" 2>&1 ||
        { cat "$work/initdb.log" >&2; die "initdb failed"; }
    rm -f "$work/pwfile"
    settings >>"$work/data/postgresql.conf"
    printf '%s\n' "# Password logins from loopback only." \
        "local all         all               scram-sha-256" \
        "host  all         all  127.0.0.1/32 scram-sha-256" \
        "host  replication all  127.0.0.1/32 scram-sha-256" >"$work/data/pg_hba.conf"
    port=$(start_server "$work/data" "$work/server.log" "" "-c fsync=off") || die "the template did not start"
    pid=$(server_pid "$work/data")
    run_psql "$work/pgpass" "$port" postgres -c "CREATE DATABASE $database" >&2 ||
        { stop_pid "$pid"; die "could not create the database $database in the template"; }
    stop_pid "$pid"
    # The fast shutdown ended with a checkpoint; flushed, the template is safe to keep.
    sync
    echo "$key" >"$work/ready"
    mv "$work" "$root/current"
}

# Copies the template's data, password and pgpass into dir; makes the template first when needed.
copy_template() {
    local dir=$1 root key lock
    root=$(absolute_dir "${CORVANE_PG_TEMPLATE:-$repo/build/pg-template}") || die "cannot create the template folder"
    check_reachable "$root"
    key="$("$bin/postgres" --version), layout $template_layout, user $(id -un)"
    exec {lock}>"$root/.lock"
    held_locks+=("$lock")
    flock -w 300 -s "$lock" || die "waited 5 min for the lock $root/.lock"
    if [ "$(cat "$root/current/ready" 2>/dev/null)" != "$key" ]; then
        # Converting lets the shared lock go first, so two converting waiters cannot deadlock: check again.
        flock -w 300 -x "$lock" || die "waited 5 min for the lock $root/.lock"
        [ "$(cat "$root/current/ready" 2>/dev/null)" = "$key" ] || make_template "$root" "$key"
        flock -s "$lock"
    fi
    cp -a "$root/current/data" "$dir/data"
    cp -p "$root/current/password" "$root/current/pgpass" "$dir/"
    # Until the first start gives the cluster a password of its own.
    : >"$dir/template-password"
    unset 'held_locks[-1]'
    exec {lock}>&-
}

cmd_start() {
    local options=""
    if [ "${1:-}" = --no-fsync ]; then
        options="-c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        shift
    fi
    [ $# -eq 1 ] && [ -n "$1" ] || usage
    install_server
    local dir data pid port="" conn lock password="" sql=""
    dir=$(absolute_dir "$1") || die "cannot create $1"
    data="$dir/data"
    check_reachable "$dir"
    exec {lock}>"$dir/.lock"
    held_locks+=("$lock")
    flock -w 120 "$lock" || die "another start or stop of $dir has taken more than 2 min"

    pid=$(server_pid "$data")
    if [ -n "$pid" ]; then
        [ -f "$dir/connection" ] || die "a server (pid $pid) runs on $data but $dir/connection is missing; stop it first"
        cat "$dir/connection"
        return 0
    fi
    if [ ! -f "$data/PG_VERSION" ]; then
        [ ! -e "$data" ] || die "$data exists but holds no cluster; remove it"
        copy_template "$dir"
    fi
    [ -f "$dir/pgpass" ] || die "$dir/pgpass is missing; remove $dir to start afresh"
    # The previous port, so that a restart keeps its connection text when it can.
    [ ! -f "$dir/connection" ] || port=$(connection_port "$dir/connection")
    # A pid file left by a server that is gone (a crash, a reboot) could stop the new one.
    rm -f "$data/postmaster.pid"
    [ -e "$dir/server.log" ] || : >"$dir/server.log"
    give_to_pg "$dir/server.log"
    port=$(start_server "$data" "$dir/server.log" "$port" "$options") || exit 1
    pid=$(server_pid "$data")

    # The copy came with the template's password: each cluster gets one of its own.
    if [ -e "$dir/template-password" ]; then
        password=$(new_password)
        sql="ALTER ROLE $superuser PASSWORD '$password';"
    fi
    printf '%s\n' "$sql" "SELECT 'CREATE DATABASE $database' WHERE NOT EXISTS" \
        "(SELECT FROM pg_database WHERE datname = '$database')" '\gexec' |
        run_psql "$dir/pgpass" "$port" postgres -At >&2 ||
        { stop_pid "$pid"; die "could not set up the role $superuser and the database $database"; }
    if [ -n "$password" ]; then
        write_secret "$dir/password" "$password"
        write_secret "$dir/pgpass" "127.0.0.1:*:*:$superuser:$password"
        rm -f "$dir/template-password"
    fi
    conn="host=127.0.0.1 port=$port dbname=$database user=$superuser passfile=$(conninfo_value "$dir/pgpass")"
    printf '%s\n' "$conn" >"$dir/connection.tmp" && mv -f "$dir/connection.tmp" "$dir/connection"
    echo "$conn"
}

cmd_stop() {
    [ $# -eq 1 ] && [ -n "$1" ] || usage
    [ -d "$1" ] || return 0
    local dir pid lock
    dir=$(cd "$1" && pwd -P)
    exec {lock}>"$dir/.lock"
    flock -w 120 "$lock" || die "another start or stop of $dir has taken more than 2 min"
    pid=$(server_pid "$dir/data")
    [ -z "$pid" ] || stop_pid "$pid"
}

cmd_status() {
    [ $# -eq 1 ] && [ -n "$1" ] || usage
    local dir pid=""
    if [ -d "$1" ]; then
        dir=$(cd "$1" && pwd -P)
        pid=$(server_pid "$dir/data")
    fi
    [ -n "$pid" ] || { echo stopped; return 1; }
    echo "running $pid $(connection_port "$dir/connection")"
}

cmd_psql() {
    [ $# -ge 1 ] && [ -n "$1" ] || usage
    local dir=$1
    shift
    [ -f "$dir/connection" ] || die "$dir has no cluster; start it: scripts/pg-cluster.sh start $dir"
    PGCONNECT_TIMEOUT=10 exec "$bin/psql" "$(cat "$dir/connection")" "$@"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
start) cmd_start "$@" ;;
stop) cmd_stop "$@" ;;
status) cmd_status "$@" ;;
psql) cmd_psql "$@" ;;
prepare-install) [ $# -eq 0 ] || usage; prepare_install ;;
*) usage ;;
esac
