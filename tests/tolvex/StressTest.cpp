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

DaemonHarness::Options busyWorkers() {
    DaemonHarness::Options o;
    o.relayAckTimeoutSec = 1;
    o.resultAckTimeoutSec = 1;
    o.extraCommon = "<push_alarm_count>-1</push_alarm_count>";
    o.extraSections =
        "<room_timeout_list><tenant_size>10</tenant_size>"
        "<timeout_list>example.com:0:0:1</timeout_list></room_timeout_list>";
    o.env = {"TOLVEXD_TEST_ROOM_FIRST_PASS_SEC=1", "TOLVEXD_TEST_ROOM_MINUTE_SEC=1"};
    return o;
}

std::string user(const char* who, int room) {
    return std::string(who) + std::to_string(room) + "@corp.example.com";
}

}  // namespace

class StressTest : public ChatLoopbackTest {
protected:
    StressTest() : ChatLoopbackTest(busyWorkers()) {}

    using Clock = std::chrono::steady_clock;

    // Acknowledges every relay that came by now as a PC client does.
    static int ackRelays(Client& c, uint32_t roomId, const std::string& userId, uint16_t osType) {
        int acked = 0;
        while (auto p = c.waitFor(client::MSG_RELAY, std::chrono::milliseconds(acked ? 5 : 50))) {
            auto relay = client::decodeMsgRelay(*p);
            if (!relay) continue;
            c.sendRelayAck(client::RelayAck{roomId, relay->msgNum, userId, 0, osType});
            ++acked;
        }
        return acked;
    }

    // Acknowledges every other delivery report; the rest time out.
    static void ackSomeResults(Client& c, uint32_t roomId) {
        int seen = 0;
        while (auto p = c.waitFor(client::MSG_RESULT, std::chrono::milliseconds(5))) {
            auto report = client::decodeMsgResult(*p);
            if (report && seen++ % 2 == 0)
                c.sendResultAck(client::ResultAck{roomId, report->msgNum, report->trid, client::OS_TYPE_PC,
                                                  report->resultSeq});
        }
    }

    void say(Client& c, uint32_t roomId, const std::string& from, int i) {
        client::MsgRequest m;
        m.roomId = roomId;
        m.fromId = from;
        m.fromName = nameOf(from);
        m.msg = "message " + std::to_string(i);
        m.trid = static_cast<uint32_t>(i + 1);
        EXPECT_TRUE(c.sendMsg(m));
    }

    // One room's life: the owner and two members talk (a third member is
    // offline and gets pushed), one member acknowledges everything, the
    // mobile one half of it; then one leaves, the owner removes the other
    // and everybody goes, leaving the room idle for the closer.
    void roomLife(uint32_t roomId, int n) {
        const std::string owner = user("owner", n), pc = user("pc", n), mobile = user("mobile", n);
        Client& o = openRoom(roomId, owner, {pc, mobile, user("offline", n)});
        client::JoinReply reply;
        Client& p = join(roomId, pc, client::OS_TYPE_PC, &reply);
        Client& m = join(roomId, mobile, client::OS_TYPE_MOBILE, &reply);
        for (int i = 0; i < kMessagesPerRoom; ++i) {
            say(o, roomId, owner, i);
            if (i % 3 == 2) {
                ackRelays(p, roomId, pc, client::OS_TYPE_PC);
                if (auto relay = m.waitFor(client::MSG_RELAY, std::chrono::milliseconds(20)))
                    if (i % 2 == 0 && client::decodeMsgRelay(*relay))
                        m.sendRelayAck(client::RelayAck{roomId, client::decodeMsgRelay(*relay)->msgNum, mobile, 0,
                                                        client::OS_TYPE_MOBILE});
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
        for (auto& c : m_clients) c->close();
        m_clients.clear();
    }

    // Each thread had work: timeouts of relay ACKs and of result ACKs, and
    // idle rooms ended at the WAS.
    EXPECT_TRUE(m_daemon.waitForCommandLog("ClearTimeout of MSG_RESULT_ACK", 1, 5000));
    EXPECT_GT(m_daemon.countInCommandLog("code=10"), 0);
    EXPECT_TRUE(waitFor([&] { return !m_daemon.was().requestsTo(DaemonHarness::kEndRoomPage).empty(); }, 8000));

    // And it still serves.
    Client& late = openRoom(700, user("late", 0), {user("friend", 0)});
    EXPECT_TRUE(late.ping());
}
