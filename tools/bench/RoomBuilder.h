#pragma once
// Opens the planned rooms on the daemon before the load starts: the
// creator's room init with the first invitees, further invitations in
// batches the daemon accepts, then every member's join. Owns nothing after
// build() returns; runs on the calling thread and blocks, step by step.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/BenchConnection.h"
#include "bench/BenchRoster.h"
#include "client/Requests.h"

namespace bench {

// What opening the idle rooms came to.
struct idle_setup_t {
    int open = 0;              // connections joined to their room
    int refused = 0;           // planned connections that did not get in
    std::string firstRefusal;  // why the first of those failed
};

class RoomBuilder {
public:
    RoomBuilder(std::string host, int port, std::chrono::milliseconds stepTimeout = std::chrono::seconds(5))
        : m_host(std::move(host)), m_port(port), m_stepTimeout(stepTimeout) {}
    RoomBuilder(const RoomBuilder&) = delete;
    RoomBuilder& operator=(const RoomBuilder&) = delete;

    // Every connection then presents a join token for its member, fetched
    // from this tolvex-was token page, before its room init or join.
    void useTokenPage(std::string url, std::string apiKey) {
        m_tokenUrl = std::move(url);
        m_apiKey = std::move(apiKey);
    }

    // Every connection speaks TLS with these options.
    void useTls(client::TlsLink::options_t options) { m_tls = std::move(options); }

    // One connection per planned member, in roster order (out[room][member]),
    // each joined to its room. Returns "" or what failed; on failure out
    // holds what was opened so far.
    std::string build(const std::vector<room_plan_t>& rooms,
                      std::vector<std::vector<std::unique_ptr<BenchConnection>>>* out);

    // Opens the idle rooms, going on past failures: a daemon at its
    // connection ceiling refuses some, and the run is to show how many. A
    // member that cannot connect or join is counted and dropped; a room
    // whose creator did not get in is counted whole without more attempts.
    // The joined connections are appended to out. With progress, a line on
    // stderr each second, as thousands of joins take a while.
    idle_setup_t buildIdle(const std::vector<room_plan_t>& rooms, std::vector<std::unique_ptr<BenchConnection>>* out,
                           bool progress = false);

private:
    std::string openRoom(const room_plan_t& room, std::vector<std::unique_ptr<BenchConnection>>* conns);
    std::string invite(BenchConnection& creator, const room_plan_t& room, size_t first, size_t last, bool withInit);
    std::string join(const room_plan_t& room, const member_plan_t& member, BenchConnection& conn);
    std::string openCreator(const room_plan_t& room, BenchConnection& creator);
    // Connects and, with a token page, authenticates as member of room.
    std::string connect(BenchConnection& conn, const room_plan_t& room, const member_plan_t& member);
    std::string authenticate(BenchConnection& conn, const room_plan_t& room, const member_plan_t& member);
    BenchConnection::Clock::time_point deadline() const { return BenchConnection::Clock::now() + m_stepTimeout; }

    std::string m_host;
    int m_port;
    std::chrono::milliseconds m_stepTimeout;
    std::string m_tokenUrl;  // empty: no AUTH
    std::string m_apiKey;
    std::optional<client::TlsLink::options_t> m_tls;  // empty: plain TCP
};

}  // namespace bench
