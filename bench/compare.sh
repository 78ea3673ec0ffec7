#!/usr/bin/env bash
# The same relay load through tolvexd (with the reference WAS, via
# bench/relay.sh) and through Redis pub/sub, taken in turns so both see the
# same machine load. For each fan-out F the rooms hold F + 1 members; each
# peer runs N times and the script prints the median deliveries/s and the
# median p99 from send to receipt of each, with their ratios (tolvexd over
# Redis). A run that lost or duplicated deliveries is marked with '!'.
#   bench/compare.sh [--runs 3] [--duration 10] [--fanouts "1 10 100"] [--build DIR]
#                    [--no-tls]
# Fixed load: 4 rooms, one sender per room, window 4, 100-byte payloads.
# Redis is started here on a free port without persistence and stopped
# afterwards; redis-server comes from scripts/common.sh's package list.
# Each peer also runs over TLS (unless --no-tls): tolvexd through its TLS
# listener (relay.sh --tls), Redis through its --tls-port, both with a
# certificate from a throw-away CA; a second table puts TLS beside plain
# for each peer, with the ratio TLS / plain.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/bench/common.sh"
COMMAND="$0 $*"
BUILD="$ROOT/build"
RUNS=3
DURATION=10
FANOUTS="1 10 100"
TLS=1
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) RUNS="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --fanouts) FANOUTS="$2"; shift 2 ;;
        --build) BUILD="$2"; shift 2 ;;
        --no-tls) TLS=0; shift ;;
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
REDIS_TLS=()
PEERS="tolvexd redis"
if [ "$TLS" = 1 ]; then
    make_tls_pair "$WORK/tls"
    REDIS_TLS_PORT="$(free_port)"
    REDIS_TLS=(--tls-port "$REDIS_TLS_PORT" --tls-cert-file "$WORK/tls/server.pem"
               --tls-key-file "$WORK/tls/server.key" --tls-ca-cert-file "$WORK/tls/ca.pem" --tls-auth-clients no)
    PEERS="tolvexd tolvexd-tls redis redis-tls"
fi
redis-server --port "$REDIS_PORT" "${REDIS_TLS[@]}" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
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
    case "$1" in
        tolvexd) out="$("$ROOT/bench/relay.sh" --build "$BUILD" -- "${args[@]}" 2>>"$WORK/relay.err" || true)" ;;
        tolvexd-tls)
            out="$("$ROOT/bench/relay.sh" --build "$BUILD" --tls -- "${args[@]}" 2>>"$WORK/relay.err" || true)" ;;
        redis) out="$("$BENCH" --peer redis --server "127.0.0.1:$REDIS_PORT" "${args[@]}" || true)" ;;
        redis-tls)
            out="$("$BENCH" --peer redis --server "127.0.0.1:$REDIS_TLS_PORT" --tls --ca "$WORK/tls/ca.pem" \
                "${args[@]}" || true)" ;;
    esac
    python3 -c '
import json, sys
r = json.loads(sys.argv[3])
print(sys.argv[1], sys.argv[2], r["relays_per_sec"], r["relay_latency_us"]["p99"], r["lost_relays"],
      r["duplicate_relays"], r.get("setup_error", ""))' "$1" "$2" "$(grep '^{' <<<"$out" | tail -1)" >>"$WORK/runs" ||
        echo "$1 $2 0 0 0 0 no-result" >>"$WORK/runs"
}

for fanout in $FANOUTS; do
    for _ in $(seq "$RUNS"); do
        for peer in $PEERS; do run_one "$peer" "$fanout"; done
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
if any(p.endswith('-tls') for f in runs.values() for p in f):
    print()
    print(f'{"fan-out":>7} | {"peer":>7} | {"plain deliv/s":>16} | {"TLS deliv/s":>16} | {"ratio":>5} | '
          f'{"plain p99 ms":>14} | {"TLS p99 ms":>14} | {"ratio":>5}')
    for fanout in sorted(runs):
        for peer in ('tolvexd', 'redis'):
            p, t = runs[fanout].get(peer, []), runs[fanout].get(peer + '-tls', [])
            if not p or not t:
                continue
            pd, td = statistics.median(x[0] for x in p), statistics.median(x[0] for x in t)
            pp, tp = statistics.median(x[1] for x in p), statistics.median(x[1] for x in t)
            print(f'{fanout:>7} | {peer:>7} | {cell(p, 0, lambda v: f"{v:,.0f}"):>16} | '
                  f'{cell(t, 0, lambda v: f"{v:,.0f}"):>16} | {ratio(td, pd):>5} | '
                  f'{cell(p, 1, lambda v: f"{v / 1000:.2f}"):>14} | {cell(t, 1, lambda v: f"{v / 1000:.2f}"):>14} | '
                  f'{ratio(tp, pp):>5}')
for fanout in sorted(runs):
    for peer, rs in sorted(runs[fanout].items()):
        for i, r in enumerate(rs, 1):
            if r[2] or r[3] or r[4]:
                print(f'! fan-out {fanout} {peer} run {i}: {r[2]} lost, {r[3]} duplicated {" ".join(r[4])}'.rstrip())
PY
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
