#!/usr/bin/env bash
# Group commit against one transaction per request, side by side in one run:
# for each client count, save_message.sh runs tolvex-was with
# --commit-window-us 0 (every request its own commit) and then with
# batching, alternating for several rounds on fresh databases, and prints
# every run, the median throughput of each mode and their ratio, with the
# load average before and after.
#   bench/was/group_commit.sh [BUILD_DIR] [--requests N] [--rounds R]
#       [--clients "8 32"] [--batched "tolvex-was options"] [-- tolvex-was options for both]
# For example:
#   bench/was/group_commit.sh build-release --requests 10000 --rounds 3 --clients "8 32 64" \
#       -- --threads 64
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
BATCHED=""
while [ $# -gt 0 ]; do
    case "$1" in
    --requests) REQUESTS="$2"; shift 2 ;;
    --rounds) ROUNDS="$2"; shift 2 ;;
    --clients) CLIENTS="$2"; shift 2 ;;
    --batched) BATCHED="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
BOTH=("$@")

# One run; prints "throughput p50 p99" or fails.
run() {
    local clients="$1"
    shift
    local out
    out="$("$ROOT/bench/was/save_message.sh" "$BUILD" --requests "$REQUESTS" \
        --concurrency "$clients" -- ${BOTH[@]+"${BOTH[@]}"} "$@")"
    if ! grep -q "failures 0 " <<<"$out"; then
        echo "$out" >&2
        return 1
    fi
    awk '/^throughput/ {t = $2} /^latency/ {p50 = $4; p99 = $8} END {print t, p50, p99}' <<<"$out"
}

echo "tolvex-was options for both: ${BOTH[*]-(none)}; batched adds: ${BATCHED:-(defaults)}"
echo "$REQUESTS requests per run, $ROUNDS rounds, $(nproc) cores"
echo "before: $(uptime)"
printf '%-8s %-6s %-12s %12s %9s %9s\n' clients round mode req/s p50_ms p99_ms
SUMMARY=()
for clients in $CLIENTS; do
    single=()
    batched=()
    for round in $(seq 1 "$ROUNDS"); do
        t=""
        read -r t p50 p99 < <(run "$clients" --commit-window-us 0) || true
        [ -n "${t:-}" ] || exit 1
        printf '%-8s %-6s %-12s %12s %9s %9s\n' "$clients" "$round" per-request "$t" "$p50" "$p99"
        single+=("$t")
        # shellcheck disable=SC2086  # BATCHED is a list of options
        t=""
        read -r t p50 p99 < <(run "$clients" $BATCHED) || true
        [ -n "$t" ] || exit 1
        printf '%-8s %-6s %-12s %12s %9s %9s\n' "$clients" "$round" batched "$t" "$p50" "$p99"
        batched+=("$t")
    done
    s="$(printf '%s\n' "${single[@]}" | median)"
    b="$(printf '%s\n' "${batched[@]}" | median)"
    ratio="$(awk -v s="$s" -v b="$b" 'BEGIN {print b / s}')"
    SUMMARY+=("$(printf '%-8s %18s %14s %7.1fx' "$clients" "$s" "$b" "$ratio")")
done
echo "after: $(uptime)"
printf '%-8s %18s %14s %8s\n' clients per-request_req/s batched_req/s ratio
printf '%s\n' "${SUMMARY[@]}"
