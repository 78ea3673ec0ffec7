#pragma once
// Drives the opened rooms for one run: senders send messages (paced or as
// fast as their window allows), every member acknowledges the relays it
// gets, senders acknowledge their delivery reports, and the runner times
// each message from its send to its MSG_ACK and to every relay and accounts
// for every relay and report a message owes. Idle connections are only read
// (pings answered). Stalled receivers are not read at all for the stall's
// span, and the others' relay latency is kept apart by phase of the stall.
// One epoll loop on the calling thread; owns the connections.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/BenchConnection.h"
#include "bench/BenchReport.h"
#include "bench/BenchRoster.h"
#include "bench/DeliveryLedger.h"
#include "client/Packet.h"

namespace bench {

class LoadRunner {
public:
    using Clock = BenchConnection::Clock;
    // A paced sender never has more than this many messages unacknowledged;
    // sends due beyond it are skipped and counted.
    static constexpr size_t kMaxPacedInFlight = 1000;

    // conns[room][member] are connected and joined, in roster order; idle
    // connections are joined to rooms of their own and never send.
    LoadRunner(bench_options_t options, std::vector<room_plan_t> rooms,
               std::vector<std::vector<std::unique_ptr<BenchConnection>>> conns,
               std::vector<std::unique_ptr<BenchConnection>> idle = {});
    LoadRunner(const LoadRunner&) = delete;
    LoadRunner& operator=(const LoadRunner&) = delete;
    ~LoadRunner();

    // Sends for options.durationSec, then waits up to options.drainSec for
    // what is still on its way. Fills everything in the report but the
    // set-up fields. Progress lines go to stderr when options.progress.
    bench_report_t run();

    // The message text: the send time (ns since the run's epoch) in 16 hex
    // digits, then filler up to size bytes. Exposed for tests.
    static std::string messageText(uint64_t sentNs, size_t size);
    // The send time back from a relayed text; false when it is not ours.
    static bool parseMessageText(const std::string& text, uint64_t* sentNs);

private:
    struct peer_t {
        std::unique_ptr<BenchConnection> conn;
        size_t room = 0;
        size_t member = 0;  // index in the room's roster
        const member_plan_t* plan = nullptr;
        bool alive = true;
        bool watchingWrite = false;
        bool stalled = false;  // a receiver that stops reading during the stall
        bool paused = false;   // not read now (the stall is on)
        // Senders only.
        uint32_t nextTrid = 0;
        Clock::time_point nextDue;
        std::unordered_map<uint32_t, Clock::time_point> inFlight;  // body trid -> send time
    };

    struct idle_peer_t {
        std::unique_ptr<BenchConnection> conn;
        bool alive = true;
    };
    // Marks idle connections in the epoll data.
    static constexpr uint64_t kIdleTag = uint64_t{1} << 63;
    enum class StallPhase { kBefore, kDuring, kAfter };

    void watch(int fd, uint64_t tag, peer_t* peer);
    void handleIdle(size_t index);
    void setInterest(size_t index);
    void updateWriteInterest(size_t index);
    void advanceStall(Clock::time_point now);
    void pauseStalled(bool paused);
    void recordStallPhase(uint64_t sentNs, uint64_t latencyUs);
    void pumpSender(peer_t& p, Clock::time_point now);
    void sendMessage(peer_t& p, Clock::time_point now);
    void handleReadable(size_t index);
    void handlePacket(peer_t& p, const client::Packet& packet);
    void onMsgAck(peer_t& p, const client::Packet& packet);
    void onRelay(peer_t& p, const client::Packet& packet);
    void onResult(peer_t& p, const client::Packet& packet);
    void markDead(peer_t& p, const char* kind);
    void markFailed(peer_t& p, const char* kind, bool byServer);
    void drop(peer_t& p, const char* why);
    int waitMillis(Clock::time_point now, Clock::time_point sendEnd) const;
    bool settled() const;
    void printProgress(Clock::time_point now);
    void finishReport();
    uint64_t sinceEpochNs(Clock::time_point t) const;

    bench_options_t m_options;
    std::vector<room_plan_t> m_rooms;
    std::vector<peer_t> m_peers;
    std::vector<size_t> m_senders;  // indexes into m_peers
    std::vector<size_t> m_stalled;  // indexes into m_peers
    std::vector<idle_peer_t> m_idle;
    DeliveryLedger m_ledger;
    int m_epoll = -1;
    bool m_sending = false;
    Clock::time_point m_epoch;
    StallPhase m_stallPhase = StallPhase::kBefore;
    Clock::time_point m_stallStart;
    Clock::time_point m_stallEnd;
    Clock::time_point m_lastAck;
    Clock::time_point m_lastRelay;
    bench_report_t m_report;
    // Counters at the previous progress line.
    Clock::time_point m_lastTick;
    uint64_t m_tickAccepted = 0;
    uint64_t m_tickRelays = 0;
};

}  // namespace bench
