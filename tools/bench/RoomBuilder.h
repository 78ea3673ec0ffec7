#pragma once
// Opens the planned rooms on the daemon before the load starts: the
// creator's room init with the first invitees, further invitations in
// batches the daemon accepts, then every member's join. Owns nothing after
// build() returns; runs on the calling thread and blocks, step by step.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchConnection.h"
#include "bench/BenchRoster.h"
#include "client/Requests.h"

namespace bench {

class RoomBuilder {
public:
    RoomBuilder(std::string host, int port, std::chrono::milliseconds stepTimeout = std::chrono::seconds(5))
        : m_host(std::move(host)), m_port(port), m_stepTimeout(stepTimeout) {}
    RoomBuilder(const RoomBuilder&) = delete;
    RoomBuilder& operator=(const RoomBuilder&) = delete;

    // One connection per planned member, in roster order (out[room][member]),
    // each joined to its room. Returns "" or what failed; on failure out
    // holds what was opened so far.
    std::string build(const std::vector<room_plan_t>& rooms,
                      std::vector<std::vector<std::unique_ptr<BenchConnection>>>* out);

private:
    std::string openRoom(const room_plan_t& room, std::vector<std::unique_ptr<BenchConnection>>* conns);
    std::string invite(BenchConnection& creator, const room_plan_t& room, size_t first, size_t last, bool withInit);
    std::string join(const room_plan_t& room, const member_plan_t& member, BenchConnection& conn);
    std::string connect(BenchConnection& conn);
    BenchConnection::Clock::time_point deadline() const { return BenchConnection::Clock::now() + m_stepTimeout; }

    std::string m_host;
    int m_port;
    std::chrono::milliseconds m_stepTimeout;
};

}  // namespace bench
