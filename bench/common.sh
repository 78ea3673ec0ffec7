# Shared by the bench scripts: free loopback ports and the daemon's
# configuration for a run in a temporary folder. Sourced, not run.

# A port the kernel just handed out and released; good enough on loopback.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
        echo $(( 20000 + RANDOM % 20000 ))
}

# write_config FILE PORT WORK IOTYPE WAS JOURNAL_SYNC [SESSION_MSG_RATE] [EXTRA]: tolvexd
# on PORT with its logs (and journal) in WORK/log, saving through the WAS at
# host:port WAS under the reference WAS's default page paths. The per-session
# request limit is off (0) unless given: a closed-loop sender goes as fast as
# the daemon answers, a flood by the daemon's default limit, and these
# scripts measure the daemon, not a client. EXTRA: more <tolvexd> keys, as XML.
write_config() {
    local page
    page() { echo "<$1>/was/$1</$1>"; }
    cat > "$1" <<XML
<?xml version="1.0"?>
<config>
  <tolvexd>
    <servicebindaddr>127.0.0.1:$2</servicebindaddr>
    <cmdlogpath>$3/log</cmdlogpath>
    <iotype>$4</iotype>
    <service_ip>127.0.0.1</service_ip>
    <was_timeout_sec>5</was_timeout_sec>
    <msg_relay_ack_timeout_sec>10</msg_relay_ack_timeout_sec>
    <msg_result_ack_timeout_sec>30</msg_result_ack_timeout_sec>
    <journal_sync>$6</journal_sync>
    <session_msg_rate>${7:-0}</session_msg_rate>
    ${8:-}
  </tolvexd>
  <trace><tracelogpath>/dev/null</tracelogpath></trace>
  <waslist>
    <was>$5</was>
    $(page was_save_msg) $(page was_mobile_push) $(page was_leave) $(page was_endroom)
    $(page was_not_endroom) $(page was_load_room) $(page was_update_msgsend)
    $(page was_invite_request) $(page was_sendfailuser_request)
  </waslist>
</config>
XML
}

# make_tls_pair DIR: a throw-away CA (DIR/ca.pem) and a server certificate
# it signed for 127.0.0.1 (DIR/server.pem, DIR/server.key), ECDSA P-256,
# valid for a day: enough for a TLS run on loopback, useless anywhere else.
make_tls_pair() {
    local dir="$1"
    mkdir -p "$dir"
    (
        cd "$dir"
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
            -subj /CN=tolvex-bench-ca -keyout ca.key -out ca.pem
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
            -keyout server.key -out server.csr
        printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' >server.ext
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 \
            -extfile server.ext -out server.pem
    ) >"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log" >&2; return 1; }
}

# require_bins DIR NAME...: exits with how to build them when one of the
# programs is missing from DIR.
require_bins() {
    local dir="$1" name
    shift
    for name in "$@"; do
        [ -x "$dir/$name" ] || { echo "missing $dir/$name; build it: cmake --build $(dirname "$dir") --target $*" >&2; exit 1; }
    done
}

# The hard descriptor limit for this shell and what it starts: for the WAS,
# which takes one connection per daemon request in flight and, unlike
# tolvexd and tolvex-bench, does not raise its own limit.
raise_nofile() {
    local hard
    hard="$(ulimit -H -n)"
    [ "$hard" = unlimited ] && hard=1048576
    ulimit -S -n "$hard" 2>/dev/null || echo "could not raise the descriptor limit to $hard" >&2
}

# stop_pid PID: SIGTERM, up to 20 s to end, then SIGKILL; nothing for an
# empty or finished PID.
stop_pid() {
    local pid="$1"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Runs a command as the postgres user when we are root: initdb and the
# server refuse to run as root.
as_postgres() {
    if [ "$(id -u)" = 0 ]; then setpriv --reuid=postgres --regid=postgres --init-groups "$@"; else "$@"; fi
}

# start_postgres DIR PORT: a throw-away PostgreSQL cluster in DIR listening
# on 127.0.0.1:PORT (trust authentication, user postgres). Its durability
# settings stay the defaults, so it is compared on the same terms as the
# SQLite store, which syncs its commits.
start_postgres() {
    local dir="$1" port="$2" bin
    bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
    [ -x "$bin/initdb" ] || { echo "PostgreSQL is not installed (Debian package postgresql)" >&2; return 1; }
    mkdir -p "$dir"
    if [ "$(id -u)" = 0 ]; then
        chown postgres:postgres "$dir"
        chmod o+x "$(dirname "$dir")"  # mktemp's folders are closed to other users
    fi
    as_postgres "$bin/initdb" -D "$dir/data" -U postgres --auth=trust >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; return 1; }
    as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c max_connections=200" start >/dev/null ||
        { cat "$dir/server.log" >&2; return 1; }
    PG_BIN="$bin"
}

# stop_postgres DIR: stops the cluster start_postgres began in DIR.
stop_postgres() {
    [ -n "${PG_BIN:-}" ] && [ -d "$1/data" ] || return 0
    as_postgres "$PG_BIN/pg_ctl" -D "$1/data" -m immediate stop >/dev/null 2>&1 || true
}

# The median of the numbers on stdin, one a line.
median() {
    sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
