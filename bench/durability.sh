#!/usr/bin/env bash
# Whether an acknowledged message survives a crash: starts tolvex-was and
# tolvexd on free loopback ports (everything in a temporary folder), loads the
# daemon with tolvex-bench, kills the daemon with SIGKILL in the middle of the
# load, starts it again on the same journal, waits until the journal is
# answered, and compares what the daemon acknowledged (its MSG_ACK lines in
# the chat log, written after each ACK was queued to its client) with what
# the WAS database holds:
#   acked N, persisted N, lost 0, duplicated 0
# Exits 1 on any loss or duplicate.
#   bench/durability.sh [--build DIR] [--sync always|interval|off] [--kill-after S]
#                       [--] [tolvex-bench options...]
# Example: bench/durability.sh -- --rooms 4 --members 3 --window 4 --duration 8
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/common.sh"
BUILD="$ROOT/build"
SYNC=always
KILL_AFTER=3
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="$2"; shift 2 ;;
        --sync) SYNC="$2"; shift 2 ;;
        --kill-after) KILL_AFTER="$2"; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || set -- --rooms 4 --members 3 --window 4 --duration 8 --quiet
require_bins "$BUILD/bin" tolvexd tolvex-was tolvex-bench

WORK="$(mktemp -d /tmp/tolvex-durability-XXXXXX)"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/log"
PORT="$(free_port)"
WAS="127.0.0.1:$(free_port)"
write_config "$WORK/config.xml" "$PORT" "$WORK" epoll "$WAS" "$SYNC"

"$BUILD/bin/tolvex-was" --config "$WORK/config.xml" --listen "$WAS" --db "$WORK/was.db" >"$WORK/was.out" 2>&1 &
PIDS+=($!)
command_log() { cat "$WORK"/log/zpx_00* 2>/dev/null; }
start_daemon() {
    "$BUILD/bin/tolvexd" -c "$WORK/config.xml" >>"$WORK/daemon.out" 2>&1 &
    DAEMON=$!
    PIDS+=("$DAEMON")
    for _ in $(seq 300); do
        [ "$(command_log | grep -c 'Loading Room Complete')" -ge "$1" ] && return 0
        kill -0 "$DAEMON" 2>/dev/null || { echo "tolvexd exited:" >&2; cat "$WORK/daemon.out" >&2; exit 1; }
        sleep 0.1
    done
    echo "tolvexd did not load its rooms" >&2; exit 1
}
sleep 0.5
start_daemon 1

"$BUILD/bin/tolvex-bench" --server "127.0.0.1:$PORT" "$@" >"$WORK/bench.out" 2>&1 &
BENCH=$!
sleep "$KILL_AFTER"
kill -KILL "$DAEMON"
wait "$DAEMON" 2>/dev/null || true
wait "$BENCH" 2>/dev/null || true
echo "killed tolvexd after ${KILL_AFTER}s of load; journal: $(du -sh "$WORK/log/journal_00" | cut -f1)" >&2

start_daemon 2
# Replays go before the rooms load; what is left are the requests that were
# still being answered. Wait until the command log shows no journal backlog.
for _ in $(seq 100); do
    sleep 0.2
    "$BUILD/bin/tolvexd" --journal-dump "$WORK/log/journal_00" | grep -q ' pending' || break
done

# (room, number) of every MSG_ACK the daemon queued, from its chat log.
cat "$WORK"/log/chat_00* | awk -F: '$0 ~ /:MSG_ACK:/ && $0 ~ /:SUCC:/ {
    for (i = 1; i <= NF; i++) if ($i == "S") { print $(i+2) ":" $(i+3); break } }' | sort -u >"$WORK/acked"
# (room, number) of every stored message, from the WAS's dump.
"$BUILD/bin/tolvex-was" --dump --db "$WORK/was.db" | awk '
    /^room / { room = $2 } /^  message / { print room ":" $2 }' | sort >"$WORK/stored"
acked=$(wc -l <"$WORK/acked")
persisted=$(comm -12 "$WORK/acked" <(sort -u "$WORK/stored") | wc -l)
lost=$((acked - persisted))
duplicated=$(uniq -d "$WORK/stored" | wc -l)
echo "acked $acked, persisted $persisted, lost $lost, duplicated $duplicated (journal_sync $SYNC)"
[ "$lost" -eq 0 ] && [ "$duplicated" -eq 0 ]
