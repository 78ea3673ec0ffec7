#!/usr/bin/env bash
# The same relay load through tolvexd (with the reference WAS, via
# bench/relay.sh) and through Redis pub/sub, taken in turns so both see the
# same machine load. For each fan-out F the rooms hold F + 1 members; each
# peer runs N times and the script prints the median deliveries/s and the
# median p99 from send to receipt of each, with their ratios (tolvexd over
# Redis). A run that lost or duplicated deliveries is marked with '!'.
#   bench/compare.sh [--runs 3] [--duration 10] [--fanouts "1 10 100"] [--build DIR]
# Fixed load: 4 rooms, one sender per room, window 4, 100-byte payloads.
# Redis is started here on a free port without persistence and stopped
# afterwards; redis-server comes from scripts/common.sh's package list.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/common.sh"
COMMAND="$0 $*"
BUILD="$ROOT/build"
RUNS=3
DURATION=10
FANOUTS="1 10 100"
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) RUNS="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --fanouts) FANOUTS="$2"; shift 2 ;;
        --build) BUILD="$2"; shift 2 ;;
        *) echo "unknown option '$1'" >&2; exit 2 ;;
    esac
done
BENCH="$BUILD/bin/tolvex-bench"
require_bins "$BUILD/bin" tolvex-bench tolvexd tolvex-was
command -v redis-server >/dev/null || { echo "redis-server is not installed (scripts/common.sh installs it)" >&2; exit 1; }

WORK="$(mktemp -d /tmp/tolvex-compare-XXXXXX)"
REDIS_PID=""
stop_redis() {
    stop_pid "$REDIS_PID"
    REDIS_PID=""
}
cleanup() { stop_redis; rm -rf "$WORK"; }
trap cleanup EXIT

REDIS_PORT="$(free_port)"
redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
    >"$WORK/redis.out" 2>&1 &
REDIS_PID=$!
for _ in $(seq 50); do
    grep -q "Ready to accept connections" "$WORK/redis.out" 2>/dev/null && break
    kill -0 "$REDIS_PID" 2>/dev/null || { echo "redis-server exited at start:" >&2; cat "$WORK/redis.out" >&2; exit 1; }
    sleep 0.1
done

echo "command: $COMMAND"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

# run_one PEER FANOUT: appends "PEER FANOUT deliveries/s p99_us lost dup" to $WORK/runs.
run_one() {
    local args=(--rooms 4 --members $(( $2 + 1 )) --window 4 --size 100 --duration "$DURATION" --json --quiet)
    local out
    if [ "$1" = tolvexd ]; then
        out="$("$ROOT/bench/relay.sh" --build "$BUILD" -- "${args[@]}" 2>>"$WORK/relay.err" || true)"
    else
        out="$("$BENCH" --peer redis --server "127.0.0.1:$REDIS_PORT" "${args[@]}" || true)"
    fi
    python3 -c '
import json, sys
r = json.loads(sys.argv[3])
print(sys.argv[1], sys.argv[2], r["relays_per_sec"], r["relay_latency_us"]["p99"], r["lost_relays"],
      r["duplicate_relays"], r.get("setup_error", ""))' "$1" "$2" "$(grep '^{' <<<"$out" | tail -1)" >>"$WORK/runs" ||
        echo "$1 $2 0 0 0 0 no-result" >>"$WORK/runs"
}

for fanout in $FANOUTS; do
    for _ in $(seq "$RUNS"); do
        run_one tolvexd "$fanout"
        run_one redis "$fanout"
    done
done

python3 - "$WORK/runs" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    peer, fanout, dps, p99, lost, dup, *err = line.split()
    runs.setdefault(int(fanout), {}).setdefault(peer, []).append((float(dps), int(p99), int(lost), int(dup), err))

def cell(rs, i, fmt):
    marks = ''.join('!' if r[2] or r[3] or r[4] else '' for r in rs)
    return fmt(statistics.median(r[i] for r in rs)) + (f' ({len(marks)} marked)' if marks else '')

def ratio(a, b):
    return f'{a / b:.2f}' if b else '-'

print(f'{"fan-out":>7} | {"tolvexd deliv/s":>16} | {"redis deliv/s":>16} | {"ratio":>5} | '
      f'{"tolvexd p99 ms":>14} | {"redis p99 ms":>14} | {"ratio":>5}')
for fanout in sorted(runs):
    t, r = runs[fanout].get('tolvexd', []), runs[fanout].get('redis', [])
    if not t or not r:
        continue
    td, rd = statistics.median(x[0] for x in t), statistics.median(x[0] for x in r)
    tp, rp = statistics.median(x[1] for x in t), statistics.median(x[1] for x in r)
    print(f'{fanout:>7} | {cell(t, 0, lambda v: f"{v:,.0f}"):>16} | {cell(r, 0, lambda v: f"{v:,.0f}"):>16} | '
          f'{ratio(td, rd):>5} | {cell(t, 1, lambda v: f"{v / 1000:.2f}"):>14} | '
          f'{cell(r, 1, lambda v: f"{v / 1000:.2f}"):>14} | {ratio(tp, rp):>5}')
for fanout in sorted(runs):
    for peer, rs in sorted(runs[fanout].items()):
        for i, r in enumerate(rs, 1):
            if r[2] or r[3] or r[4]:
                print(f'! fan-out {fanout} {peer} run {i}: {r[2]} lost, {r[3]} duplicated {" ".join(r[4])}'.rstrip())
PY
