#pragma once
// The same load as LoadRunner's, driven through Redis pub/sub so the relay
// can be compared with a well-known one. Each room is a channel "room:<id>";
// every member holds one connection subscribed to it, and every sender holds
// a second one for PUBLISH, because a subscribed connection may not publish.
// The integer reply to PUBLISH stands in for MSG_ACK (it frees a window
// slot); a member's receipt of the published payload stands in for
// MSG_RELAY. A sender's member connection receives its own messages too and
// ignores them, as a tolvexd client never gets its own relay. One epoll loop
// on the calling thread; owns its connections.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/BenchReport.h"
#include "bench/BenchRoster.h"

namespace bench {

// Connects, subscribes, sends for options.durationSec and drains. Fills the
// whole report, set-up time and set-up error included.
bench_report_t runRedisLoad(const bench_options_t& options, std::vector<room_plan_t> rooms);

// The payload: send time (ns since the run's epoch, 16 hex digits), the
// sender's member index (4) and the room's message number (8), then filler
// up to size bytes. Exposed for tests.
std::string redisPayload(uint64_t sentNs, size_t member, uint32_t msgNum, size_t size);
bool parseRedisPayload(const std::string& text, uint64_t* sentNs, size_t* member, uint32_t* msgNum);

}  // namespace bench
