#!/usr/bin/env bash
# Relay throughput and latency of tolvexd: starts a daemon on a free loopback
# port with a generated configuration (logs in a temporary directory), runs
# tolvex-bench against it and stops it with SIGTERM.
#   bench/relay.sh [--iotype epoll|poll|select] [--build DIR] [--was HOST:PORT]
#                  [--journal-sync always|interval|off] [--keep-logs]
#                  [--session-msg-rate N] [--tls]
#                  [--] [tolvex-bench options...]
# Without --was it starts the reference WAS (tolvex-was) on a temporary
# database, so the daemon loads its (empty) room list and every message is
# saved and pushed through it for real, as in production. Every tolvex-bench
# option passes through, --idle included, so pollers and idle connections
# combine. Examples:
#   bench/relay.sh -- --rooms 4 --members 11 --duration 10
#   bench/relay.sh --iotype poll -- --rooms 2 --members 3 --rate 500 --json
#   bench/relay.sh --iotype select -- --rooms 4 --members 11 --rate 100 --idle 1000
# After the run it counts the daemon's failed WAS requests from its command
# log (on stderr), since the tool itself only sees the client side.
# The daemon's per-session request limit is off unless --session-msg-rate
# sets it (50 is the daemon's default): without --rate each sender sends as
# fast as the daemon answers, which that limit would close.
# With --tls the daemon also gets a TLS listener (tls_bindaddr) with a
# certificate from a throw-away CA made in the work folder, and tolvex-bench
# connects there with --tls --ca, so the same script measures TLS against
# plain; the plain listener stays on.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/common.sh"
BUILD="$ROOT/build"
IOTYPE=epoll
WAS=""
KEEP_LOGS=0
JOURNAL_SYNC=always
SESSION_MSG_RATE=0
TLS=0
while [ $# -gt 0 ]; do
    case "$1" in
        --journal-sync) JOURNAL_SYNC="$2"; shift 2 ;;
        --session-msg-rate) SESSION_MSG_RATE="$2"; shift 2 ;;
        --iotype) IOTYPE="$2"; shift 2 ;;
        --build) BUILD="$2"; shift 2 ;;
        --was) WAS="$2"; shift 2 ;;
        --keep-logs) KEEP_LOGS=1; shift ;;
        --tls) TLS=1; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
case "$IOTYPE" in epoll|poll|select) ;; *) echo "unknown iotype '$IOTYPE'" >&2; exit 2 ;; esac
DAEMON="$BUILD/bin/tolvexd"
BENCH="$BUILD/bin/tolvex-bench"
WASBIN="$BUILD/bin/tolvex-was"
require_bins "$BUILD/bin" tolvexd tolvex-bench
# Thousands of idle connections need as many descriptors: tolvexd and
# tolvex-bench raise their own limits; the WAS is started under the hard one.

WORK="$(mktemp -d /tmp/tolvex-relay-bench-XXXXXX)"
PID=""
WAS_PID=""
cleanup() {
    stop_pid "$WAS_PID"
    stop_pid "$PID"
    if [ "$KEEP_LOGS" = 1 ]; then echo "logs kept in $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
mkdir -p "$WORK/log"

PORT="$(free_port)"
START_WAS=0
if [ -z "$WAS" ]; then
    [ -x "$WASBIN" ] || { echo "missing $WASBIN; build it or pass --was HOST:PORT" >&2; exit 1; }
    WAS="127.0.0.1:$(free_port)"
    START_WAS=1
fi
TLS_XML=""
SERVER="127.0.0.1:$PORT"
BENCH_TLS=()
if [ "$TLS" = 1 ]; then
    make_tls_pair "$WORK/tls"
    SERVER="127.0.0.1:$(free_port)"
    TLS_XML="<tls_bindaddr>$SERVER</tls_bindaddr><tls_cert>$WORK/tls/server.pem</tls_cert>"
    TLS_XML+="<tls_key>$WORK/tls/server.key</tls_key>"
    BENCH_TLS=(--tls --ca "$WORK/tls/ca.pem")
fi
write_config "$WORK/config.xml" "$PORT" "$WORK" "$IOTYPE" "$WAS" "$JOURNAL_SYNC" "$SESSION_MSG_RATE" "$TLS_XML"

if [ "$START_WAS" = 1 ]; then
    (raise_nofile; exec "$WASBIN" --config "$WORK/config.xml" --listen "$WAS" --db "$WORK/was.db") >"$WORK/was.out" 2>&1 &
    WAS_PID=$!
    for _ in $(seq 100); do
        grep -q "listening" "$WORK/was.out" 2>/dev/null && break
        kill -0 "$WAS_PID" 2>/dev/null || { echo "tolvex-was exited at start:" >&2; cat "$WORK/was.out" >&2; exit 1; }
        sleep 0.1
    done
fi

"$DAEMON" -c "$WORK/config.xml" -n 0 >"$WORK/stdout" 2>"$WORK/stderr" &
PID=$!
# Up once the command log says the rooms are loaded (clients are refused before).
for _ in $(seq 100); do
    if ! kill -0 "$PID" 2>/dev/null; then
        echo "tolvexd exited at start:" >&2; cat "$WORK/stderr" >&2; exit 1
    fi
    if cat "$WORK"/log/zpx_00* 2>/dev/null | grep -q "Loading Room Complete"; then break; fi
    sleep 0.1
done
cat "$WORK"/log/zpx_00* 2>/dev/null | grep -q "Loading Room Complete" ||
    { echo "tolvexd did not load its rooms from the WAS at $WAS" >&2; exit 1; }
limit="$(cat "$WORK"/log/zpx_00* | grep -h 'descriptor limit:' | sed -n 's/.*soft [0-9]* [a-z ]* \([0-9]*\).*/\1/p' | tail -1)"
echo "tolvexd ($IOTYPE) on 127.0.0.1:$PORT${TLS_XML:+, TLS on $SERVER}, pid $PID, descriptor limit ${limit:-unknown}" >&2

status=0
"$BENCH" --server "$SERVER" "${BENCH_TLS[@]}" "$@" || status=$?

kill -TERM "$PID"
stop_status=0
wait "$PID" || stop_status=$?
PID=""
[ "$stop_status" = 0 ] || echo "tolvexd ended with status $stop_status" >&2

# What the daemon could not hand to the WAS: requests that could not even
# open a connection (no descriptor, or one the poller cannot watch; the job
# ends there), exchanges that failed, and retries on the next server.
count_log() { cat "$WORK"/log/zpx_00* 2>/dev/null | grep -c -- "$1" || true; }
echo "tolvexd WAS requests: $(count_log 'Fail query to WAS') could not start," \
     "$(count_log 'WAS_ERROR') failed, $(count_log 'Enter REWAS') retried" >&2
# A WAS slower than the daemon leaves jobs waiting for a connection (logged
# at every thousand); those still unsent when the SIGTERM drain ends are
# not persisted.
log_number() { cat "$WORK"/log/zpx_00* 2>/dev/null | sed -n "s/$1/\1/p" | sort -n | tail -1; }
queued="$(log_number '.*, \([0-9]*\) jobs waiting for a connection.*')"
left="$(log_number '.*:\([0-9]*\) WAS job(s) still waiting at exit.*')"
echo "tolvexd WAS backlog: ${queued:-under 1000} jobs waiting for a connection at the peak, ${left:-0} unsent at exit" >&2
exit "$status"
