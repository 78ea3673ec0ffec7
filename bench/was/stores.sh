#!/usr/bin/env bash
# The two stores of tolvex-was side by side in one run: for each client
# count, save_message.sh runs tolvex-was on a fresh SQLite file and then on
# a fresh PostgreSQL database (one local server started here), alternating
# for several rounds, and prints every run, the median throughput and
# latencies of each store and their ratio, with the load average before and
# after.
#   bench/was/stores.sh [BUILD_DIR] [--requests N] [--rounds R] [--clients "8 32"]
#       [-- tolvex-was options for both]
# For example:
#   bench/was/stores.sh build-release --requests 10000 --rounds 3 --clients "8 32"
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
source "$ROOT/bench/common.sh"
BUILD="$ROOT/build"
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
    BUILD="$1"
    shift
fi
REQUESTS=10000
ROUNDS=3
CLIENTS="8 32"
while [ $# -gt 0 ]; do
    case "$1" in
    --requests) REQUESTS="$2"; shift 2 ;;
    --rounds) ROUNDS="$2"; shift 2 ;;
    --clients) CLIENTS="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
BOTH=("$@")
require_bins "$BUILD/bin" tolvex-was tolvex-was-load

WORK="$(mktemp -d /tmp/tolvex-was-stores-XXXXXX)"
PG_PORT="$(free_port)"
cleanup() {
    stop_postgres "$WORK/pg"
    rm -rf "$WORK"
}
trap cleanup EXIT
start_postgres "$WORK/pg" "$PG_PORT"

# One run on the store DB; prints "throughput p50 p99" or fails.
run() {
    local clients="$1" db="$2" out
    out="$("$ROOT/bench/was/save_message.sh" "$BUILD" --requests "$REQUESTS" \
        --concurrency "$clients" -- ${BOTH[@]+"${BOTH[@]}"} --db "$db")"
    if ! grep -q "failures 0 " <<<"$out"; then
        echo "$out" >&2
        return 1
    fi
    awk '/^throughput/ {t = $2} /^latency/ {p50 = $4; p99 = $8} END {print t, p50, p99}' <<<"$out"
}

# A fresh database for each PostgreSQL run, as each SQLite run gets a fresh file.
fresh_pg() {
    local name="bench_$1"
    as_postgres "$PG_BIN/createdb" -h 127.0.0.1 -p "$PG_PORT" -U postgres "$name"
    echo "postgresql://postgres@127.0.0.1:$PG_PORT/$name"
}

echo "tolvex-was options for both: ${BOTH[*]-(none)}"
echo "$REQUESTS save requests per run, $ROUNDS rounds, $(nproc) cores, PostgreSQL $("$PG_BIN/postgres" --version | awk '{print $3}') on loopback"
echo "before: $(uptime)"
printf '%-8s %-6s %-11s %10s %9s %9s\n' clients round store req/s p50_ms p99_ms
SUMMARY=()
n=0
for clients in $CLIENTS; do
    declare -A t=() p50=() p99=()
    for round in $(seq 1 "$ROUNDS"); do
        for store in sqlite postgresql; do
            n=$((n + 1))
            if [ "$store" = sqlite ]; then db="$WORK/run$n.db"; else db="$(fresh_pg "$n")"; fi
            read -r rt rp50 rp99 < <(run "$clients" "$db") || exit 1
            printf '%-8s %-6s %-11s %10s %9s %9s\n' "$clients" "$round" "$store" "$rt" "$rp50" "$rp99"
            t[$store]+="$rt "
            p50[$store]+="$rp50 "
            p99[$store]+="$rp99 "
        done
    done
    med() { tr ' ' '\n' <<<"$1" | grep . | median; }
    for store in sqlite postgresql; do
        SUMMARY+=("$(printf '%-8s %-11s %10s %9s %9s' "$clients" "$store" "$(med "${t[$store]}")" \
            "$(med "${p50[$store]}")" "$(med "${p99[$store]}")")")
    done
    ratio="$(awk -v s="$(med "${t[sqlite]}")" -v p="$(med "${t[postgresql]}")" 'BEGIN {printf "%.2f", p / s}')"
    SUMMARY+=("$(printf '%-8s postgresql/sqlite throughput %sx' "$clients" "$ratio")")
    unset t p50 p99
done
echo "after: $(uptime)"
echo "medians:"
printf '%-8s %-11s %10s %9s %9s\n' clients store req/s p50_ms p99_ms
printf '%s\n' "${SUMMARY[@]}"
