#!/usr/bin/env bash
# Throw-away two-shard ClickHouse 18.16 clusters on 127.0.0.1 for the demo, the tests and CI.
#   scripts/ch-cluster.sh start DIR              starts DIR's two servers (configured the first time) unless
#                                                they run; the last line on stdout is the connection text
#                                                (also in DIR/connection)
#   scripts/ch-cluster.sh stop DIR               stops both by their pids; nothing when none runs
#   scripts/ch-cluster.sh start-shard DIR N      starts server N (1 or 2) alone
#   scripts/ch-cluster.sh stop-shard DIR N       stops server N alone
#   scripts/ch-cluster.sh freeze-shard DIR N     SIGSTOP to server N: a shard that hangs
#   scripts/ch-cluster.sh thaw-shard DIR N       SIGCONT to it
#   scripts/ch-cluster.sh status DIR             "N running|frozen PID HTTP TCP" or "N stopped" per server;
#                                                exit 0 when both run, else 1
#   scripts/ch-cluster.sh client DIR [N] [args]  clickhouse-client on server N (default 1) as the user audit
#   scripts/ch-cluster.sh install                installs the packages when missing, starting no server
# DIR holds password (both users', 0600), ports, connection, client.xml (0600) and sN/ per server: config.xml
# and users.xml (0600, they hold the password), data/, log/, pid. Exit codes: 0 done, 1 failed, 2 bad usage.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd -P)
server_bin=/usr/sbin/clickhouse-server
client_bin=/usr/bin/clickhouse-client
cluster=audit_cluster
user=audit
start_wait=30
stop_wait=15

die() { echo "ch-cluster: $*" >&2; exit 1; }
usage() {
    echo "usage: ch-cluster.sh start DIR | stop DIR | start-shard DIR N | stop-shard DIR N | freeze-shard DIR N |" \
        "thaw-shard DIR N | status DIR | client DIR [N] [clickhouse-client args] | install" >&2
    exit 2
}

# The lock files this script holds open: a server started with one of them would hold that lock for good.
held_locks=()
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Processes of the package's own service (its configuration in /etc), which we never start.
package_servers() {
    local proc args
    for proc in /proc/[0-9]*; do
        mapfile -d '' args <"$proc/cmdline" 2>/dev/null || continue
        [[ "${args[*]}" == *clickhouse-server*/etc/clickhouse-server/config.xml* ]] && echo "${proc#/proc/}"
    done
    return 0
}

# The package's postinst adds the user clickhouse, makes /var/log/clickhouse-server, enables its systemd unit
# and init script and starts its service (invoke-rc.d) on the default configuration. A policy-rc.d that
# denies every action keeps that start from happening (only when the machine has none of its own, and only
# for the install); the service is then disabled, so that no boot starts it either.
install_packages() {
    installed clickhouse-server && installed clickhouse-client && return 0
    local policy=/usr/sbin/policy-rc.d ours="" status=0 pids
    if [ ! -e "$policy" ]; then
        ours=1
        trap '$sudo rm -f "$policy"' EXIT
        printf '%s\n' '#!/bin/sh' '# ch-cluster: no service starts while the ClickHouse packages install.' 'exit 101' |
            $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
    fi
    bash "$repo/scripts/install-packages.sh" clickhouse-server clickhouse-client >&2 || status=$?
    if [ -n "$ours" ]; then
        $sudo rm -f "$policy"
        trap - EXIT
    fi
    [ "$status" -eq 0 ] || die "installing clickhouse-server and clickhouse-client failed"
    if [ -x /usr/bin/deb-systemd-helper ]; then
        $sudo deb-systemd-helper disable clickhouse-server.service >/dev/null 2>&1 || true
    fi
    if [ -x /usr/sbin/update-rc.d ] && [ -e /etc/init.d/clickhouse-server ]; then
        $sudo update-rc.d clickhouse-server disable >/dev/null 2>&1 || true
    fi
    pids=$(package_servers)
    [ -z "$pids" ] || die "the package started a server of its own (pid $pids); stop it: service clickhouse-server stop"
}

install_server() {
    [ -x "$server_bin" ] && [ -x "$client_bin" ] && return 0
    install_packages
}

absolute_dir() { mkdir -p "$1" && (cd "$1" && pwd -P); }

shard_arg() { [[ ${1:-} =~ ^[12]$ ]] || usage; }

alive() {  # a process, and not a zombie nobody reaped yet
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

frozen() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" = T ]
}

# The pid of server N of $dir ("" when none): the one in its pid file, when that is a live process started on
# this server's configuration (never another program that got the pid since).
server_pid() {
    local sdir="$dir/s$1" pid args arg
    pid=$(cat "$sdir/pid" 2>/dev/null || true)
    [[ $pid =~ ^[0-9]+$ ]] && alive "$pid" || return 0
    mapfile -d '' args <"/proc/$pid/cmdline" 2>/dev/null || return 0
    for arg in "${args[@]}"; do
        [ "$arg" != "--config-file=$sdir/config.xml" ] || { echo "$pid"; return 0; }
    done
}

lock_dir() {
    local lock
    exec {lock}>"$dir/.lock"
    held_locks+=("$lock")
    flock -w 120 "$lock" || die "another command on $dir has taken more than 2 min"
}

# --- ports: http, tcp, interserver of server 1, then of server 2; kept in $dir/ports for restarts

ports=()

read_ports() {
    ports=()
    [ ! -f "$dir/ports" ] || read -ra ports <"$dir/ports" || true
    [ ${#ports[@]} -eq 6 ] || ports=()
}

port_free() { [ -z "$(ss -Htln "sport = :$1" 2>/dev/null)" ]; }

used_by_other_slot() {  # SLOT PORT
    local slot
    for slot in "${!ports[@]}"; do
        [ "$slot" = "$1" ] || [ "${ports[$slot]}" != "$2" ] || return 0
    done
    return 1
}

# Below the kernel's range for outgoing ports, so that no client socket takes it meanwhile.
random_port() {  # SLOT
    local port
    for _ in $(seq 200); do
        port=$((20000 + SRANDOM % 12000))
        port_free "$port" && ! used_by_other_slot "$1" "$port" && { echo "$port"; return 0; }
    done
    die "no free TCP port found on 127.0.0.1"
}

# Server N's ports: the previous ones where free, others where not (or all new with FRESH).
pick_ports() {  # N [FRESH]
    local slot port
    for slot in $((3 * $1 - 3)) $((3 * $1 - 2)) $((3 * $1 - 1)); do
        port=${ports[$slot]:-}
        if [ -n "${2:-}" ] || [[ ! $port =~ ^[0-9]+$ ]] || ! port_free "$port" || used_by_other_slot "$slot" "$port"; then
            ports[slot]=0
            ports[slot]=$(random_port "$slot")
        fi
    done
}

# Ports for a server that has none yet, whatever runs; a running server keeps its own.
fill_ports() {  # N
    local slot
    for slot in $((3 * $1 - 3)) $((3 * $1 - 2)) $((3 * $1 - 1)); do
        [[ ${ports[$slot]:-} =~ ^[0-9]+$ ]] || { ports[slot]=0; ports[slot]=$(random_port "$slot"); }
    done
}

http_port() { echo "${ports[$((3 * $1 - 3))]}"; }
tcp_port() { echo "${ports[$((3 * $1 - 2))]}"; }

# --- files

write_secret() {  # FILE TEXT: mode 0600 before the text is in it
    (umask 077 && printf '%s\n' "$2" >"$1.tmp") && mv -f "$1.tmp" "$1"
}

# Replaces FILE with TEXT only when it differs: a running server reloads its configuration when it changes.
write_if_changed() {  # FILE TEXT
    [ "$(cat "$1" 2>/dev/null)" != "$2" ] || return 0
    write_secret "$1" "$2"
}

xml() {
    local text=$1
    text=${text//&/&amp;}
    text=${text//</&lt;}
    text=${text//>/&gt;}
    printf '%s' "$text"
}

new_password() { od -An -N24 -tx1 /dev/urandom | tr -d ' \n'; }

server_config() {  # N PASSWORD
    local sdir n=$1 password=$2 shard
    sdir=$(xml "$dir/s$1")
    cat <<END
<?xml version="1.0"?>
<!-- ch-cluster.sh: server $n of a throw-away cluster on loopback, sized for a small machine. -->
<yandex>
  <logger>
    <level>information</level>
    <log>$sdir/log/server.log</log>
    <errorlog>$sdir/log/server.err.log</errorlog>
    <size>100M</size>
    <count>2</count>
  </logger>
  <listen_host>127.0.0.1</listen_host>
  <http_port>$(http_port "$n")</http_port>
  <tcp_port>$(tcp_port "$n")</tcp_port>
  <interserver_http_port>${ports[$((3 * n - 1))]}</interserver_http_port>
  <interserver_http_host>127.0.0.1</interserver_http_host>
  <max_connections>256</max_connections>
  <max_concurrent_queries>100</max_concurrent_queries>
  <shutdown_wait_unfinished>2</shutdown_wait_unfinished>
  <mark_cache_size>134217728</mark_cache_size>
  <uncompressed_cache_size>67108864</uncompressed_cache_size>
  <path>$sdir/data/</path>
  <tmp_path>$sdir/data/tmp/</tmp_path>
  <user_files_path>$sdir/data/user_files/</user_files_path>
  <format_schema_path>$sdir/data/format_schemas/</format_schema_path>
  <users_config>$sdir/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <timezone>UTC</timezone>
  <mlock_executable>false</mlock_executable>
  <remote_servers>
    <$cluster>
END
    for shard in 1 2; do
        echo "      <shard><internal_replication>false</internal_replication>"
        echo "        <replica><host>127.0.0.1</host><port>$(tcp_port "$shard")</port><user>$user</user><password>$password</password></replica></shard>"
    done
    cat <<END
    </$cluster>
  </remote_servers>
</yandex>
END
}

# The timeouts between servers are read from the default profile at start only; without them a query waits
# minutes for a frozen shard. An idle connection notices a shutdown only after poll_interval (10 s by
# default): a server that another one has queried would take that long to stop. No max_execution_time
# here: each statement sets its own.
users_config() {  # PASSWORD
    local name
    cat <<END
<?xml version="1.0"?>
<yandex>
  <profiles>
    <default>
      <connect_timeout>2</connect_timeout>
      <receive_timeout>3</receive_timeout>
      <connections_with_failover_max_tries>1</connections_with_failover_max_tries>
      <poll_interval>1</poll_interval>
      <max_threads>2</max_threads>
      <background_pool_size>4</background_pool_size>
      <load_balancing>random</load_balancing>
    </default>
  </profiles>
  <users>
END
    for name in default "$user"; do
        cat <<END
    <$name>
      <password>$1</password>
      <networks replace="replace"><ip>127.0.0.1</ip></networks>
      <profile>default</profile>
      <quota>default</quota>
    </$name>
END
    done
    cat <<END
  </users>
  <quotas>
    <default>
      <interval><duration>3600</duration><queries>0</queries><errors>0</errors><result_rows>0</result_rows>
        <read_rows>0</read_rows><execution_time>0</execution_time></interval>
    </default>
  </quotas>
</yandex>
END
}

write_files() {
    local password n conn
    password=$(cat "$dir/password")
    for n in 1 2; do
        mkdir -p "$dir/s$n/data" "$dir/s$n/log"
        write_if_changed "$dir/s$n/config.xml" "$(server_config "$n" "$password")"
        write_if_changed "$dir/s$n/users.xml" "$(users_config "$password")"
    done
    write_if_changed "$dir/client.xml" "$(printf '<config>\n  <user>%s</user>\n  <password>%s</password>\n</config>' \
        "$user" "$password")"
    printf '%s\n' "${ports[*]}" >"$dir/ports.tmp" && mv -f "$dir/ports.tmp" "$dir/ports"
    conn="hosts=127.0.0.1:$(http_port 1),127.0.0.1:$(http_port 2) user=$user password_file=$dir/password"
    conn+=" cluster=$cluster database=default"
    printf '%s\n' "$conn" >"$dir/connection.tmp" && mv -f "$dir/connection.tmp" "$dir/connection"
}

# --- servers

ping_http() {  # PORT: the server answers /ping
    local reply
    reply=$(timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "GET /ping HTTP/1.0\r\n\r\n" >&3 && cat <&3' \
        _ "$1" 2>/dev/null) || return 1
    [[ $reply == *$'\r\n\r\nOk.'* ]]
}

log_files() { echo "$dir/s$1/log/stdout.log" "$dir/s$1/log/server.err.log"; }

log_sizes() {  # N: the current sizes of its logs, to read what a start adds
    local file
    for file in $(log_files "$1"); do stat -c %s "$file" 2>/dev/null || echo 0; done | tr '\n' ' '
}

log_since() {  # N SIZES
    local file sizes i=0
    read -ra sizes <<<"$2"
    for file in $(log_files "$1"); do
        [ ! -f "$file" ] || tail -c +"$((${sizes[$i]:-0} + 1))" "$file"
        i=$((i + 1))
    done
}

# Starts server N in a session of its own, its output in log/stdout.log; the pid goes to sN/pid and
# $launched_pid. Not setsid's fork: this subshell is no group leader, so setsid execs in place.
launched_pid=""
launch() {  # N
    local sdir="$dir/s$1"
    (
        for fd in "${held_locks[@]}"; do exec {fd}>&-; done
        cd "$sdir"
        exec setsid "$server_bin" --config-file="$sdir/config.xml" </dev/null >>"$sdir/log/stdout.log" 2>&1
    ) &
    launched_pid=$!
    echo "$launched_pid" >"$sdir/pid"
}

# SIGTERM (and SIGCONT, or a frozen server would never see it), up to $stop_wait s, then SIGKILL.
stop_pids() {  # PID...
    local pid deadline left
    [ $# -gt 0 ] || return 0
    kill -TERM "$@" 2>/dev/null || true
    kill -CONT "$@" 2>/dev/null || true
    for signal in TERM KILL; do
        if [ $signal = KILL ]; then
            echo "ch-cluster: pid $* did not end ${stop_wait} s after SIGTERM: SIGKILL" >&2
            kill -KILL "$@" 2>/dev/null || true
        fi
        deadline=5000
        [ $signal = KILL ] || deadline=$((stop_wait * 1000))
        deadline=$(($(date +%s%N) / 1000000 + deadline))
        while :; do
            left=()
            for pid in "$@"; do alive "$pid" && left+=("$pid"); done
            [ ${#left[@]} -gt 0 ] || return 0
            [ "$(($(date +%s%N) / 1000000))" -lt "$deadline" ] || break
            sleep 0.05
        done
        set -- "${left[@]}"
    done
    die "pid $* did not end after SIGKILL"
}

# Starts the servers named that do not run yet and waits for their /ping. A server that lost one of its
# ports to another process meanwhile gets new ones and starts again; the other server's configuration names
# its tcp port, so the start ends only when both servers have read the new one.
start_servers() {  # N...
    local n pid deadline pending tries=0 failed="" output started before
    declare -A launched=() sizes_of=()
    [ -f "$dir/password" ] || write_secret "$dir/password" "$(new_password)"
    read_ports
    before="${ports[1]:-},${ports[4]:-}"
    for n in 1 2; do fill_ports "$n"; done
    for n in "$@"; do pick_ports "$n"; done
    pending=("$@")
    while [ ${#pending[@]} -gt 0 ]; do
        tries=$((tries + 1))
        write_files
        for n in "${pending[@]}"; do
            sizes_of[$n]=$(log_sizes "$n")
            launch "$n"
            launched[$n]=$launched_pid
        done
        deadline=$(($(date +%s) + start_wait))
        local retry=()
        while [ ${#pending[@]} -gt 0 ]; do
            local still=()
            for n in "${pending[@]}"; do
                pid=${launched[$n]}
                if ping_http "$(http_port "$n")" && alive "$pid"; then
                    continue
                elif ! alive "$pid"; then
                    output=$(log_since "$n" "${sizes_of[$n]}")
                    if [[ $output == *"Address already in use"* ]] && [ $tries -lt 5 ]; then
                        pick_ports "$n" fresh
                        retry+=("$n")
                        continue
                    fi
                    failed="server $n ended at start"
                elif [ "$(date +%s)" -ge "$deadline" ]; then
                    failed="server $n did not answer /ping within $start_wait s"
                fi
                if [ -n "$failed" ]; then
                    # What this start began goes; what ran before stays.
                    for started in "${!launched[@]}"; do
                        [ "$(server_pid "$started")" != "${launched[$started]}" ] || stop_pids "${launched[$started]}"
                    done
                    echo "ch-cluster: $failed; the end of its logs ($dir/s$n/log):" >&2
                    log_since "$n" "${sizes_of[$n]}" | tail -n 20 >&2
                    exit 1
                fi
                still+=("$n")
            done
            pending=("${still[@]}")
            [ ${#pending[@]} -eq 0 ] || sleep 0.1
        done
        pending=("${retry[@]}")
    done
    # A server that ran before, or started before another got new ports, has read an older configuration.
    if { [ "$before" != , ] && [ "$before" != "${ports[1]},${ports[4]}" ]; } || [ $tries -gt 1 ]; then
        for n in 1 2; do wait_cluster_reloaded "$n"; done
    fi
}

# A server that runs on reads its cluster's new ports from its changed configuration within a few seconds;
# until then its distributed queries would go to the old ones.
wait_cluster_reloaded() {  # N
    local want seen="" deadline=$(($(date +%s) + 15))
    want="[$(tcp_port 1),$(tcp_port 2)]"
    while [ "$(date +%s)" -lt "$deadline" ]; do
        seen=$("$client_bin" --config-file="$dir/client.xml" --host=127.0.0.1 --port="$(tcp_port "$1")" \
            --connect_timeout=2 --receive_timeout=5 --query="SELECT groupArray(port) FROM (SELECT port FROM \
            system.clusters WHERE cluster = '$cluster' ORDER BY shard_num)" 2>&1) || true
        [ "$seen" != "$want" ] || return 0
        sleep 0.2
    done
    die "server $1 still has the ports $seen for $cluster 15 s after its configuration named $want"
}

# --- commands

open_dir() {  # DIR: $dir, absolute, existing
    [ -n "$1" ] || usage
    dir=$(absolute_dir "$1") || die "cannot create $1"
    [[ $dir != *[[:space:]]* ]] || die "the connection text cannot name a folder with spaces: $dir"
}

cmd_start() {
    [ $# -eq 1 ] || usage
    install_server
    open_dir "$1"
    lock_dir
    local n stopped=()
    for n in 1 2; do [ -n "$(server_pid "$n")" ] || stopped+=("$n"); done
    [ ${#stopped[@]} -eq 0 ] || start_servers "${stopped[@]}"
    cat "$dir/connection"
}

cmd_start_shard() {
    [ $# -eq 2 ] || usage
    shard_arg "$2"
    install_server
    open_dir "$1"
    lock_dir
    [ -n "$(server_pid "$2")" ] || start_servers "$2"
}

cmd_stop() {  # DIR [N]
    [ $# -ge 1 ] && [ -n "$1" ] || usage
    [ -d "$1" ] || return 0
    dir=$(cd "$1" && pwd -P)
    lock_dir
    local n pid pids=()
    for n in "${@:2}"; do
        pid=$(server_pid "$n")
        [ -z "$pid" ] || pids+=("$pid")
    done
    stop_pids "${pids[@]}"
    for n in "${@:2}"; do [ -n "$(server_pid "$n")" ] || rm -f "$dir/s$n/pid"; done
}

cmd_signal() {  # SIGNAL DIR N
    [ $# -eq 3 ] && [ -n "$2" ] || usage
    shard_arg "$3"
    [ -d "$2" ] || die "$2 has no cluster"
    dir=$(cd "$2" && pwd -P)
    lock_dir
    local pid
    pid=$(server_pid "$3")
    [ -n "$pid" ] || die "server $3 of $dir does not run"
    kill -s "$1" "$pid"
    # A signal reaches a process of many threads a moment later: return once it has taken effect.
    local want="T" state i
    [ "$1" = STOP ] || want="[^T]"
    for i in $(seq 100); do
        state=$(sed -n 's/^.*) \(.\).*$/\1/p' "/proc/$pid/stat" 2>/dev/null) || state=""
        [[ "$state" == $want ]] && return 0
        sleep 0.02
    done
    die "server $3 of $dir did not take SIG$1 within 2 s (state ${state:-gone})"
}

cmd_status() {
    [ $# -eq 1 ] && [ -n "$1" ] || usage
    local n pid running=0
    dir=$1
    [ ! -d "$dir" ] || dir=$(cd "$1" && pwd -P)
    read_ports
    for n in 1 2; do
        pid=""
        [ ! -d "$dir" ] || pid=$(server_pid "$n")
        if [ -z "$pid" ]; then
            echo "$n stopped"
            continue
        fi
        running=$((running + 1))
        if frozen "$pid"; then echo "$n frozen $pid $(http_port "$n") $(tcp_port "$n")"
        else echo "$n running $pid $(http_port "$n") $(tcp_port "$n")"; fi
    done
    [ $running -eq 2 ]
}

# The password goes in client.xml (0600), never on the command line where ps shows it.
cmd_client() {
    [ $# -ge 1 ] && [ -n "$1" ] || usage
    dir=$1
    shift
    local n=1
    if [[ ${1:-} =~ ^[12]$ ]]; then n=$1; shift; fi
    [ -f "$dir/client.xml" ] && [ -f "$dir/ports" ] || die "$dir has no cluster; start it: scripts/ch-cluster.sh start $dir"
    read_ports
    [ ${#ports[@]} -eq 6 ] || die "$dir/ports is damaged; stop the cluster and start it again"
    exec "$client_bin" --config-file="$dir/client.xml" --host=127.0.0.1 --port="$(tcp_port "$n")" \
        --connect_timeout=5 --receive_timeout=30 "$@"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
start) cmd_start "$@" ;;
stop) [ $# -eq 1 ] || usage; cmd_stop "$1" 1 2 ;;
start-shard) cmd_start_shard "$@" ;;
stop-shard) [ $# -eq 2 ] || usage; shard_arg "$2"; cmd_stop "$1" "$2" ;;
freeze-shard) cmd_signal STOP "$@" ;;
thaw-shard) cmd_signal CONT "$@" ;;
status) cmd_status "$@" ;;
client) cmd_client "$@" ;;
install) [ $# -eq 0 ] || usage; install_packages ;;
*) usage ;;
esac
