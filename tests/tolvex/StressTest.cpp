// Every worker thread of the daemon at work at once (the room loader at
// start, the relay-ACK timeouts, the delivery reports and the idle-room
// closer, all on short clocks) while clients create rooms, join, message,
// acknowledge some of it, leave, remove each other and disconnect. The daemon
// must serve throughout and end with status 0; in the ThreadSanitizer build
// (scripts/test --tsan) a race report alone makes its exit status non-zero.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "support/Process.h"

namespace {

constexpr int kRounds = 3;
constexpr int kRoomsPerRound = 4;
constexpr int kMessagesPerRoom = 12;

const DaemonHarness::Options kBusyWorkers = {
    .relayAckTimeoutSec = 1,
    .resultAckTimeoutSec = 1,
    .extraCommon = "<push_alarm_count>-1</push_alarm_count>",
    .extraSections = "<room_timeout_list><tenant_size>10</tenant_size>"
                     "<timeout_list>example.com:0:0:1</timeout_list></room_timeout_list>",
    .env = {"TOLVEXD_TEST_ROOM_FIRST_PASS_SEC=1", "TOLVEXD_TEST_ROOM_MINUTE_SEC=1"},
};

std::string user(const char* who, int room) {
    return std::string(who) + std::to_string(room) + "@corp.example.com";
}

}  // namespace

class StressTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() { startDaemon(kBusyWorkers); }
    // The test stops the daemon itself: its exit status is the verdict.
    void TearDown() override { m_clients.clear(); }

    // Acknowledges the relays that came by now: each one, or every other.
    static void ackRelays(Client& c, uint32_t roomId, const std::string& userId, uint16_t osType, int every) {
        int seen = 0;
        while (auto p = c.waitFor(client::MSG_RELAY, std::chrono::milliseconds(seen ? 5 : 50)))
            if (auto relay = client::decodeMsgRelay(*p); relay && seen++ % every == 0)
                c.sendRelayAck(client::RelayAck{roomId, relay->msgNum, userId, 0, osType});
    }

    // Acknowledges every other delivery report; the rest time out.
    static void ackSomeResults(Client& c, uint32_t roomId) {
        int seen = 0;
        while (auto p = c.waitFor(client::MSG_RESULT, std::chrono::milliseconds(5)))
            if (auto r = client::decodeMsgResult(*p); r && seen++ % 2 == 0)
                c.sendResultAck(client::ResultAck{roomId, r->msgNum, r->trid, client::OS_TYPE_PC, r->resultSeq});
    }

    // One room's life: the owner and two members talk (a third member is
    // offline and gets pushed), one member acknowledges everything, the
    // mobile one half of it; then one leaves, the owner removes the other
    // and everybody goes, leaving the room idle for the closer.
    void roomLife(uint32_t roomId, int n) {
        const std::string owner = user("owner", n), pc = user("pc", n), mobile = user("mobile", n);
        Client& o = openRoom(roomId, owner, {pc, mobile, user("offline", n)});
        Client& p = joinAs(roomId, pc, client::OS_TYPE_PC);
        Client& m = joinAs(roomId, mobile, client::OS_TYPE_MOBILE);
        for (int i = 0; i < kMessagesPerRoom; ++i) {
            // Relays and result notices are read below, in batches.
            EXPECT_TRUE(o.sendMsg(client::MsgRequest{roomId, owner, nameOf(owner), client::OS_TYPE_PC,
                                                     "message " + std::to_string(i), "", static_cast<uint32_t>(i + 1),
                                                     0, client::MSG_TALK}));
            if (i % 3 == 2) {
                ackRelays(p, roomId, pc, client::OS_TYPE_PC, 1);
                ackRelays(m, roomId, mobile, client::OS_TYPE_MOBILE, 2);
                ackSomeResults(o, roomId);
            }
        }
        p.sendLeave(client::LeaveRequest{roomId, pc, nameOf(pc), client::OS_TYPE_PC});
        o.sendForceLeave(client::ForceLeaveRequest{roomId, owner, nameOf(owner), client::OS_TYPE_PC, mobile,
                                                   nameOf(mobile)});
        EXPECT_TRUE(o.waitFor(client::USER_FORCE_LEAVE_REPLY)) << "room " << roomId;
        EXPECT_TRUE(p.waitClosed()) << "leaver of room " << roomId;
        EXPECT_TRUE(m.waitClosed()) << "removed member of room " << roomId;
        ackSomeResults(o, roomId);
    }
};

TEST_F(StressTest, WorkerThreadsAndClientsTogetherLeaveTheDaemonServingAndEndingCleanly) {
    for (int round = 0; round < kRounds; ++round) {
        for (int r = 0; r < kRoomsPerRound; ++r) {
            const int n = round * kRoomsPerRound + r;
            roomLife(static_cast<uint32_t>(600 + n), n);
        }
        // The owners go too: their rooms become idle and are closed while the
        // next round's rooms are busy.
        m_clients.clear();
    }

    // Each thread had work: timeouts of relay ACKs and of result ACKs, and
    // idle rooms ended at the WAS.
    EXPECT_TRUE(daemon().waitForCommandLog("ClearTimeout of MSG_RESULT_ACK", 1, 5000));
    EXPECT_TRUE(daemon().waitForCommandLog("code=10", 1, 5000));
    EXPECT_TRUE(waitFor([&] { return !was().requestsTo(DaemonHarness::kEndRoomPage).empty(); }, 8000));

    // And it still serves, and ends cleanly.
    Client& late = openRoom(700, user("late", 0), {user("friend", 0)});
    EXPECT_TRUE(late.ping());
    m_clients.clear();
    EXPECT_EQ(0, daemon().stop()) << daemon().stderrText();
}
