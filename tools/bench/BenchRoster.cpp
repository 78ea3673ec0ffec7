#include "bench/BenchRoster.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "client/Protocol.h"

namespace bench {

std::vector<room_plan_t> planRoster(const bench_options_t& options, const std::string& tag, uint32_t roomBase) {
    std::vector<room_plan_t> rooms(static_cast<size_t>(options.rooms));
    const int invited = options.members - 1;
    const int mobiles = static_cast<int>(std::lround(options.mobileShare * invited));
    for (int r = 0; r < options.rooms; ++r) {
        room_plan_t& room = rooms[static_cast<size_t>(r)];
        room.roomId = roomBase + static_cast<uint32_t>(r);
        for (int m = 0; m < options.members; ++m) {
            member_plan_t member;
            const std::string local = tag + "r" + std::to_string(r) + "m" + std::to_string(m);
            // One tenant for everybody: the rooms must not collide with
            // another tenant's rooms of the same id, and they never do.
            member.userId = local + "@bench.example.com";
            member.nameInfo = "bench " + local;
            member.osType = m >= options.members - mobiles ? client::OS_TYPE_MOBILE : client::OS_TYPE_PC;
            room.members.push_back(std::move(member));
        }
    }
    const int senders = effectiveSenders(options);
    for (int s = 0; s < senders; ++s) {
        const auto r = static_cast<size_t>(s % options.rooms);
        const auto m = static_cast<size_t>(s / options.rooms);
        rooms[r].members[m].sender = true;
    }
    for (int s = 0; s < options.stallReceivers; ++s) {
        const auto r = static_cast<size_t>(s % options.rooms);
        const auto back = static_cast<size_t>(s / options.rooms);
        if (back >= rooms[r].members.size()) break;
        member_plan_t& member = rooms[r].members[rooms[r].members.size() - 1 - back];
        if (!member.sender) member.stalled = true;
    }
    return rooms;
}

std::vector<room_plan_t> planIdleRoster(const bench_options_t& options, const std::string& tag, uint32_t roomBase) {
    std::vector<room_plan_t> rooms;
    for (int first = 0; first < options.idle; first += kIdleRoomSize) {
        room_plan_t& room = rooms.emplace_back();
        const auto index = static_cast<uint32_t>(rooms.size() - 1);
        room.roomId = roomBase + static_cast<uint32_t>(options.rooms) + index;
        const int members = std::min(kIdleRoomSize, options.idle - first);
        for (int m = 0; m < members; ++m) {
            const std::string local = tag + "i" + std::to_string(index) + "m" + std::to_string(m);
            room.members.push_back({local + "@bench.example.com", "idle " + local, client::OS_TYPE_PC, false});
        }
    }
    return rooms;
}

std::string defaultTag() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    std::string tag = "b";
    return tag.append(std::to_string(getpid() % 100000)).append("t").append(std::to_string(secs % 1000000));
}

uint32_t defaultRoomBase() {
    // Seconds and pid pick one of a million blocks, each as wide as the most
    // rooms a run opens: successive runs against one long-lived daemon land
    // far apart, and runs started together (a different pid each) never
    // share a room, which would mix their members and messages.
    constexpr uint64_t kBlock = kMaxRooms + kMaxIdleRooms;
    constexpr uint64_t kBlocks = 1000000;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto secs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
    const uint64_t block = (secs * 7919 + static_cast<uint64_t>(getpid())) % kBlocks;
    return static_cast<uint32_t>(1000000 + block * kBlock);
}

}  // namespace bench
