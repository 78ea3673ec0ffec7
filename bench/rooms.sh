#!/usr/bin/env bash
# Start-up with many rooms: for each room count, seeds a fresh tolvex-was
# database with that many rooms that have not ended (tolvex-was-seed), starts
# tolvex-was and tolvexd on free loopback ports (everything in a temporary
# folder) and prints one row:
#   rooms, members, load seconds (daemon start until its command log says
#   "Loading Room Complete"), RSS after the load, bytes per loaded member
#   (RSS above that of an empty daemon of the same run), idle CPU over a
#   window after the load, and relay p50/p99 of a light paced tolvex-bench
#   run in fresh rooms beside the loaded ones.
#   bench/rooms.sh [--rooms "0 10000 100000 200000"] [--members 5]
#                  (a count may be repeated: "0 100000 0 100000" alternates)
#                  [--mode all|paged] [--page-rooms 100] [--build DIR]
#                  [--timeout 300] [--idle-sec 10] [--keep-logs]
#                  [-- tolvex-bench options]
# --mode all sets room_load_mode "all" (the shipped setting: one request,
# one reply with every row); paged sets "d" and starts tolvex-was with
# --rooms-per-page P, so the daemon asks page after page. The tolvex-bench
# options default to --rooms 4 --members 5 --rate 50 --duration 10.
# TOLVEXD=PATH runs another daemon binary than DIR/bin/tolvexd.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/common.sh"
COMMAND="$0 $*"
BUILD="$ROOT/build"
ROOM_COUNTS="0 10000 100000 200000"
MEMBERS=5
MODE=all
PAGE_ROOMS=100
TIMEOUT=300
IDLE_SEC=10
KEEP_LOGS=0
while [ $# -gt 0 ]; do
    case "$1" in
        --rooms) ROOM_COUNTS="$2"; shift 2 ;;
        --members) MEMBERS="$2"; shift 2 ;;
        --mode) MODE="$2"; shift 2 ;;
        --page-rooms) PAGE_ROOMS="$2"; shift 2 ;;
        --build) BUILD="$2"; shift 2 ;;
        --timeout) TIMEOUT="$2"; shift 2 ;;
        --idle-sec) IDLE_SEC="$2"; shift 2 ;;
        --keep-logs) KEEP_LOGS=1; shift ;;
        --) shift; break ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || set -- --rooms 4 --members 5 --rate 50 --duration 10
RELAY_OPTIONS=("$@")
case "$MODE" in
    all) LOAD_MODE=all ;;
    paged) LOAD_MODE=d ;;
    *) echo "--mode is all or paged, not '$MODE'" >&2; exit 2 ;;
esac
is_count() { [[ "$1" =~ ^[0-9]+$ ]]; }
for n in $ROOM_COUNTS "$MEMBERS" "$PAGE_ROOMS" "$TIMEOUT" "$IDLE_SEC"; do
    is_count "$n" || { echo "not a count: '$n'" >&2; exit 2; }
done
[ "$IDLE_SEC" -gt 0 ] || { echo "--idle-sec must be above 0" >&2; exit 2; }
DAEMON="${TOLVEXD:-$BUILD/bin/tolvexd}"
[ -x "$DAEMON" ] || { echo "missing $DAEMON" >&2; exit 1; }
require_bins "$BUILD/bin" tolvex-was tolvex-was-seed tolvex-bench

RUN="$(mktemp -d /tmp/tolvex-rooms-bench-XXXXXX)"
DAEMON_PID=""
WAS_PID=""
stop_pair() {
    stop_pid "$DAEMON_PID"
    stop_pid "$WAS_PID"
    DAEMON_PID=""
    WAS_PID=""
}
cleanup() {
    stop_pair
    if [ "$KEEP_LOGS" = 1 ]; then echo "logs kept in $RUN" >&2; else rm -rf "$RUN"; fi
}
trap cleanup EXIT

# Polled while the daemon loads, so without a process of its own.
now() { echo "${EPOCHREALTIME/,/.}"; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# The command log may hold whole WAS replies (hundreds of megabytes at the
# large counts), so each poll reads only what was added since the last one,
# with a little overlap for a line cut in half. Sets DONE_AT to the log's own
# time of the line (local, millisecond resolution) in seconds since 1970.
LOG_FILE=""
LOG_SCANNED=0
DONE_AT=""
find_complete() {
    local logs log size line
    logs=("$1"/zpx_00*)
    log="${logs[-1]}"  # dated names: the last is the newest
    [ -f "$log" ] || return 1
    [ "$log" = "$LOG_FILE" ] || { LOG_FILE="$log"; LOG_SCANNED=0; }
    size="$(stat -c %s "$log")"
    [ "$size" -gt "$LOG_SCANNED" ] || return 1
    line="$(tail -c +"$((LOG_SCANNED + 1))" "$log" | head -c "$((size - LOG_SCANNED))" |
        grep -a -m1 "Loading Room Complete" || true)"
    LOG_SCANNED=$(( size > 4096 ? size - 4096 : 0 ))
    [ -n "$line" ] || return 1
    DONE_AT="$(date -d "${line:0:23}" +%s.%N)"
}

# Starts the pair on a database of ROOMS x MEMBERS rooms in WORK and waits
# for the load. Sets LOAD_SEC ("timeout" when it never came, "exited" when
# the daemon ended first) and DAEMON_PID.
start_pair() {
    local rooms="$1" work="$2" port was started
    mkdir -p "$work/log"
    "$BUILD/bin/tolvex-was-seed" --db "$work/was.db" --rooms "$rooms" --members "$MEMBERS" >&2
    port="$(free_port)"
    was="127.0.0.1:$(free_port)"
    write_config "$work/config.xml" "$port" "$work" epoll "$was" always
    # The shipped WAS timeout: a large room list takes more than the 5 s
    # the relay benches allow.
    sed -i -e "s|<was_timeout_sec>[0-9]*</was_timeout_sec>|<was_timeout_sec>20</was_timeout_sec>|" \
        -e "s|<tolvexd>|<tolvexd>\n    <room_load_mode>$LOAD_MODE</room_load_mode>|" "$work/config.xml"
    local was_options=(--config "$work/config.xml" --listen "$was" --db "$work/was.db")
    [ "$MODE" = paged ] && was_options+=(--rooms-per-page "$PAGE_ROOMS")
    "$BUILD/bin/tolvex-was" "${was_options[@]}" >"$work/was.out" 2>&1 &
    WAS_PID=$!
    for _ in $(seq 100); do
        grep -q "listening" "$work/was.out" 2>/dev/null && break
        kill -0 "$WAS_PID" 2>/dev/null || { echo "tolvex-was exited at start:" >&2; cat "$work/was.out" >&2; exit 1; }
        sleep 0.1
    done
    PORT="$port"
    LOG_FILE=""
    started="$(now)"
    "$DAEMON" -c "$work/config.xml" -n 0 >"$work/daemon.out" 2>&1 &
    DAEMON_PID=$!
    LOAD_SEC=timeout
    local deadline=$((SECONDS + TIMEOUT))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if ! kill -0 "$DAEMON_PID" 2>/dev/null; then
            echo "tolvexd exited while loading $rooms rooms:" >&2
            tail -5 "$work/daemon.out" >&2
            LOAD_SEC=exited
            return 0
        fi
        if find_complete "$work/log"; then
            LOAD_SEC="$(awk -v s="$started" -v t="$DONE_AT" 'BEGIN { printf "%.2f", t - s }')"
            return 0
        fi
        sleep 0.1
    done
}

idle_cpu_percent() {
    local before after hz
    hz="$(getconf CLK_TCK)"
    before="$(cpu_ticks "$1")"
    sleep "$IDLE_SEC"
    after="$(cpu_ticks "$1")"
    awk -v t="$((after - before))" -v hz="$hz" -v s="$IDLE_SEC" 'BEGIN { printf "%.1f", 100 * t / hz / s }'
}

# p50/p99 of send -> MSG_RELAY in ms, "!" after them when the run was not
# clean, "fail" without a result.
relay_latency() {
    local json p50 p99 clean
    json="$("$BUILD/bin/tolvex-bench" --server "127.0.0.1:$PORT" "${RELAY_OPTIONS[@]}" \
        --room-base "$1" --json --quiet 2>>"$2/bench.err" || true)"
    field() { sed -n "s/.*\"relay_latency_us\":{[^}]*\"$1\":\([0-9]*\).*/\1/p" <<<"$json"; }
    p50="$(field p50)"
    p99="$(field p99)"
    if [ -z "$p50" ] || [ -z "$p99" ]; then echo fail; return; fi
    clean="$(grep -q '"clean":true' <<<"$json" && echo "" || echo "!")"
    awk -v a="$p50" -v b="$p99" -v c="$clean" 'BEGIN { printf "%.2f/%.2f%s", a / 1000, b / 1000, c }'
}

# The RSS of a daemon that loaded nothing: the base that bytes per member
# are counted from. Taken from the 0 row when the list has one.
BASE_KB=""
measure_base() {
    start_pair 0 "$RUN/base"
    case "$LOAD_SEC" in timeout|exited) echo "an empty daemon did not load; giving up" >&2; exit 1 ;; esac
    BASE_KB="$(rss_kb "$DAEMON_PID")"
    stop_pair
    echo "empty daemon: RSS $((BASE_KB / 1024)) MB" >&2
}

echo "command: $COMMAND"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
echo "mode $MODE$([ "$MODE" = paged ] && echo ", $PAGE_ROOMS rooms per page"), $MEMBERS members per room," \
     "relay: tolvex-bench ${RELAY_OPTIONS[*]}; daemon $DAEMON"
[[ " $ROOM_COUNTS " == *" 0 "* ]] || measure_base
printf '%-9s %-9s %-8s %-7s %-9s %-9s %s\n' rooms members load_s rss_mb B/member idle_cpu% relay_p50/p99_ms
row=0
for rooms in $ROOM_COUNTS; do
    # A folder per row: a count may be listed twice, to alternate runs.
    row=$((row + 1))
    work="$RUN/row-$row-$rooms"
    start_pair "$rooms" "$work"
    members=$((rooms * MEMBERS))
    if [ "$LOAD_SEC" = timeout ] || [ "$LOAD_SEC" = exited ]; then
        printf '%-9s %-9s %-8s %-7s %-9s %-9s %s\n' "$rooms" "$members" "$LOAD_SEC" - - - -
        stop_pair
        continue
    fi
    kb="$(rss_kb "$DAEMON_PID")"
    [ "$rooms" != 0 ] || BASE_KB="$kb"
    per_member=-
    if [ "$members" -gt 0 ] && [ -n "$BASE_KB" ]; then per_member=$(( (kb - BASE_KB) * 1024 / members )); fi
    idle="$(idle_cpu_percent "$DAEMON_PID")"
    # Fresh rooms above every seeded id (the seeder starts at 1).
    relay="$(relay_latency "$((rooms + 1000))" "$work")"
    printf '%-9s %-9s %-8s %-7s %-9s %-9s %s\n' "$rooms" "$members" "$LOAD_SEC" "$((kb / 1024))" \
        "$per_member" "$idle" "$relay"
    stop_pair
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
