#!/usr/bin/env bash
# CPU used by an idle tolvexd: starts it on a free port with the given
# poller, waits, and reads user and system time from /proc over a window.
#   bench/idle_cpu.sh [SECONDS] [IOTYPE]     (defaults: 10 epoll)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SECONDS_TO_WATCH="${1:-10}"
IOTYPE="${2:-epoll}"
BIN="${TOLVEXD:-$ROOT/build/bin/tolvexd}"
[ -x "$BIN" ] || { echo "build first: scripts/test or scripts/run" >&2; exit 1; }

work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(( 20000 + RANDOM % 20000 ))
cat > "$work/config.xml" <<XML
<config><tolvexd><servicebindaddr>127.0.0.1:$port</servicebindaddr>
<cmdlogpath>$work</cmdlogpath><iotype>$IOTYPE</iotype></tolvexd>
<trace><tracelogpath>/dev/null</tracelogpath></trace></config>
XML
"$BIN" -c "$work/config.xml" >/dev/null 2>&1 &
pid=$!
sleep 1
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$SECONDS_TO_WATCH"
after=$(ticks)
used=$(( after - before ))
awk -v t="$used" -v hz="$hz" -v s="$SECONDS_TO_WATCH" -v io="$IOTYPE" 'BEGIN {
    cpu = t / hz
    printf "idle tolvexd (%s): %.2f s CPU over %d s = %.1f%% of one core\n", io, cpu, s, 100 * cpu / s }'
