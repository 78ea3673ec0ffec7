#pragma once
// Who takes part in a run: the rooms with their ids, each room's members
// with user ids, names and device kinds, and which members send. Derived
// from the options alone, so a run can be planned and checked before any
// connection opens. Plain values and a pure function; any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/BenchOptions.h"

namespace bench {

struct member_plan_t {
    std::string userId;
    std::string nameInfo;
    uint16_t osType = 1;  // client::OS_TYPE_PC or OS_TYPE_MOBILE
    bool sender = false;
    bool stalled = false;  // stops reading for a while (--stall-receivers)
};

struct room_plan_t {
    uint32_t roomId = 0;
    std::vector<member_plan_t> members;  // [0] opens the room and invites the rest
};

// Senders go round robin over the rooms, the creator first, then the
// invited members in order. Mobile members are the last ones of each room,
// round(mobileShare x invited members) of them; the creator stays on PC.
// Stalled receivers go round robin over the rooms from the other end: the
// last member of rooms 0, 1, ..., then the last but one, skipping senders
// (the option checks leave enough members that do not send).
std::vector<room_plan_t> planRoster(const bench_options_t& options, const std::string& tag, uint32_t roomBase);

// The rooms of the idle connections: options.idle members in rooms of
// kIdleRoomSize (the last one smaller), numbered after the load rooms, all
// on PC and none sending.
std::vector<room_plan_t> planIdleRoster(const bench_options_t& options, const std::string& tag, uint32_t roomBase);

// A tag and a room base that differ between runs, for options that left them out.
std::string defaultTag();
uint32_t defaultRoomBase();

}  // namespace bench
