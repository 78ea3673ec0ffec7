#!/usr/bin/env bash
# Benchmarks the reference WAS's save-message page: starts tolvex-was on a
# fresh database in a temporary directory, posts save-message requests the
# way the daemon does (one HTTP/1.0 connection per request) and prints
# requests per second and latency percentiles.
#   bench/was/save_message.sh [BUILD_DIR] [tolvex-was-load options...] [-- tolvex-was options...]
# BUILD_DIR defaults to build/; for example:
#   bench/was/save_message.sh build --requests 20000 --concurrency 8 -- --commit-window-us 0
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
source "$ROOT/bench/common.sh"
BUILD="${1:-$ROOT/build}"
[ $# -gt 0 ] && shift
LOAD_ARGS=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    LOAD_ARGS+=("$1")
    shift
done
[ $# -gt 0 ] && shift
WAS_ARGS=("$@")
BIN="$BUILD/bin"
require_bins "$BIN" tolvex-was tolvex-was-load

WORK="$(mktemp -d /tmp/tolvex-was-bench-XXXXXX)"
WAS_PID=""
cleanup() {
    stop_pid "$WAS_PID"
    rm -rf "$WORK"
}
trap cleanup EXIT

"$BIN/tolvex-was" --db "$WORK/was.db" --listen 127.0.0.1:0 ${WAS_ARGS[@]+"${WAS_ARGS[@]}"} \
    2>"$WORK/was.log" &
WAS_PID=$!
PORT=""
for _ in $(seq 1 100); do
    PORT="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$WORK/was.log" 2>/dev/null || true)"
    [ -n "$PORT" ] && break
    sleep 0.05
done
if [ -z "$PORT" ]; then
    echo "tolvex-was did not start:" >&2
    cat "$WORK/was.log" >&2
    exit 1
fi

echo "tolvex-was ${WAS_ARGS[*]-} on port $PORT, database $WORK/was.db ($(nproc) cores)"
"$BIN/tolvex-was-load" --port "$PORT" ${LOAD_ARGS[@]+"${LOAD_ARGS[@]}"}
