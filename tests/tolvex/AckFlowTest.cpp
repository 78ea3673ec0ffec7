// Relay-ACK tracking against the real daemon: each member's outcome as the
// command log records it, the server's own ACK for mobiles, timeouts, late
// ACKs and over-long ACKs.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ChatLoopback.h"

namespace {

constexpr uint32_t kRoom = 300;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

DaemonHarness::Options withRelayAckTimeout(int seconds) {
    DaemonHarness::Options o;
    o.relayAckTimeoutSec = seconds;
    return o;
}

class AckFlowTest : public ChatLoopbackTest {
protected:
    AckFlowTest() = default;
    explicit AckFlowTest(DaemonHarness::Options options) : ChatLoopbackTest(std::move(options)) {}

    // alice's room with bob and carol invited; returns alice's client.
    Client& roomOfThree() { return openRoom(kRoom, kAlice, {kBob, kCarol}); }

    Client& member(const std::string& userId, uint16_t osType) {
        client::JoinReply reply;
        return join(kRoom, userId, osType, &reply);
    }

    // alice sends a message; its number from the MSG_ACK (0 if none came).
    static uint32_t say(Client& alice, const std::string& text) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = kAlice;
        m.fromName = nameOf(kAlice);
        m.msg = text;
        m.trid = 5;
        alice.sendMsg(m);
        auto ack = alice.waitFor(client::MSG_ACK);
        if (!ack) return 0;
        auto decoded = client::decodeMsgAck(*ack);
        return decoded ? decoded->msgNum : 0;
    }

    static uint32_t relayedNumber(Client& c) {
        auto p = c.waitFor(client::MSG_RELAY);
        if (!p) return 0;
        auto relay = client::decodeMsgRelay(*p);
        return relay ? relay->msgNum : 0;
    }

    static void ackRelay(Client& c, const std::string& userId, uint32_t msgNum, uint16_t osType) {
        c.sendRelayAck(client::RelayAck{kRoom, msgNum, userId, 0, osType});
    }

    static std::string outcome(uint32_t msgNum, const std::string& userId, uint16_t osType, uint32_t code) {
        return "send result: room_id=" + std::to_string(kRoom) + " msg_num=" + std::to_string(msgNum) +
               " user_id=" + userId + " os_type=" + std::to_string(osType) + " code=" + std::to_string(code);
    }
    static std::string outcomeOf(uint32_t msgNum, const std::string& userId) {
        return "send result: room_id=" + std::to_string(kRoom) + " msg_num=" + std::to_string(msgNum) +
               " user_id=" + userId + " ";
    }
    static std::string ackLine(uint32_t msgNum, const std::string& userId, const std::string& tail) {
        return ":" + std::to_string(kRoom) + ":" + std::to_string(msgNum) + ":MSG_RELAY_ACK:" + userId + ":" + tail;
    }
};

TEST_F(AckFlowTest, PcMembersAckIsReportedOnceHoweverOftenItComes) {
    Client& alice = roomOfThree();
    Client& bob = member(kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, "hello");
    ASSERT_NE(0u, n);
    ASSERT_EQ(n, relayedNumber(bob));

    ackRelay(bob, kBob, n, client::OS_TYPE_PC);
    ASSERT_TRUE(m_daemon.waitForCommandLog(outcome(n, kBob, client::OS_TYPE_PC, 1)));
    // Carol (pushed) still owes hers, so the message is still awaited: a
    // second ACK from bob is logged and reports nothing.
    ackRelay(bob, kBob, n, client::OS_TYPE_PC);
    ASSERT_TRUE(m_daemon.waitForChatLog(ackLine(n, kBob, "PC:SUCC:1"), 2));
    EXPECT_EQ(1, m_daemon.countInCommandLog(outcomeOf(n, kBob)));
    expectQuiet(bob, "bob");
}

TEST_F(AckFlowTest, MemberReachedOnAMobileIsAcknowledgedByTheServer) {
    Client& alice = roomOfThree();
    Client& bob = member(kBob, client::OS_TYPE_MOBILE);
    const uint32_t n = say(alice, "hello mobile");
    ASSERT_NE(0u, n);
    ASSERT_EQ(n, relayedNumber(bob));

    // No ACK from bob: the daemon gave its own, with OS type 2.
    ASSERT_TRUE(m_daemon.waitForCommandLog(outcome(n, kBob, client::OS_TYPE_MOBILE, 1)));
    ASSERT_TRUE(m_daemon.waitForChatLog(ackLine(n, kBob, "MOBILE:SUCC:1")));
    ackRelay(bob, kBob, n, client::OS_TYPE_MOBILE);
    ASSERT_TRUE(m_daemon.waitForChatLog(ackLine(n, kBob, "MOBILE:SUCC:1"), 2));
    EXPECT_EQ(1, m_daemon.countInCommandLog(outcomeOf(n, kBob)));
}

TEST_F(AckFlowTest, AckForAMessageNoLongerAwaitedIsLoggedAsDelay) {
    Client& alice = roomOfThree();
    Client& bob = member(kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, "hello");
    ASSERT_EQ(n, relayedNumber(bob));
    ackRelay(bob, kBob, 999, client::OS_TYPE_PC);
    ASSERT_TRUE(m_daemon.waitForChatLog(ackLine(999, kBob, "PC:SUCC:delay")));
    EXPECT_EQ(0, m_daemon.countInCommandLog(outcomeOf(999, kBob)));
    expectQuiet(bob, "bob");
}

TEST_F(AckFlowTest, RelayAckWithAUserIdOverItsFieldClosesTheSession) {
    Client& alice = roomOfThree();
    Client& bob = member(kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, "hi");
    ASSERT_EQ(n, relayedNumber(bob));

    ackRelay(bob, std::string(257, 'b'), n, client::OS_TYPE_PC);
    expectClosedWithoutReply(bob, "257-byte ACK user id");
    EXPECT_TRUE(m_daemon.waitForCommandLog("Input ACK_USER_ID length = 257"));

    // The daemon carries on.
    Client& carol = member(kCarol, client::OS_TYPE_PC);
    const uint32_t m = say(alice, "still here");
    ASSERT_EQ(m, relayedNumber(carol));
}

TEST_F(AckFlowTest, RelayAckWithAUserIdOfTheFieldsSizeIsServed) {
    Client& alice = roomOfThree();
    Client& bob = member(kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, "hi");
    ASSERT_EQ(n, relayedNumber(bob));

    const std::string longest(256, 'b');
    ackRelay(bob, longest, n, client::OS_TYPE_PC);
    ASSERT_TRUE(m_daemon.waitForChatLog(ackLine(n, longest, "PC:SUCC:delay")));
    expectQuiet(bob, "bob");
}

class AckTimeoutFlowTest : public AckFlowTest {
protected:
    AckTimeoutFlowTest() : AckFlowTest(withRelayAckTimeout(1)) {}
};

TEST_F(AckTimeoutFlowTest, SilentMemberTimesOutOnceWithinASecondOfItsTimeout) {
    using Clock = std::chrono::steady_clock;
    Client& alice = roomOfThree();
    Client& bob = member(kBob, client::OS_TYPE_PC);
    Client& carol = member(kCarol, client::OS_TYPE_PC);

    const Clock::time_point sent = Clock::now();
    const uint32_t n = say(alice, "anyone?");
    ASSERT_EQ(n, relayedNumber(bob));
    ASSERT_EQ(n, relayedNumber(carol));
    ackRelay(carol, kCarol, n, client::OS_TYPE_PC);

    ASSERT_TRUE(m_daemon.waitForCommandLog(outcome(n, kBob, client::OS_TYPE_PC, 10), 1, 4000));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    // One second of timeout, at most one more for the once-a-second scan,
    // and a little for the log poll on a busy machine.
    EXPECT_LE(elapsed.count(), 2500) << "timeout reported after " << elapsed.count() << " ms";
    EXPECT_TRUE(m_daemon.waitForCommandLog(outcome(n, kCarol, client::OS_TYPE_PC, 1)));

    // A later message's timeout shows that scans went on: still one each.
    const uint32_t m = say(alice, "again");
    ASSERT_TRUE(m_daemon.waitForCommandLog(outcomeOf(m, kCarol), 1, 4000));
    EXPECT_EQ(1, m_daemon.countInCommandLog(outcomeOf(n, kBob)));
    EXPECT_EQ(1, m_daemon.countInCommandLog(outcomeOf(n, kCarol)));

    // Late: only logged.
    ackRelay(bob, kBob, n, client::OS_TYPE_PC);
    ASSERT_TRUE(m_daemon.waitForChatLog(ackLine(n, kBob, "PC:SUCC:delay")));
    EXPECT_EQ(1, m_daemon.countInCommandLog(outcomeOf(n, kBob)));
    // Each timeout asks the WAS to invite the member again.
    const FakeWas::Request invite =
        wasRequestMatching(m_daemon.was(), DaemonHarness::kInviteRequestPage, [&](const FakeWas::Request& r) {
            return r.field("from_id") == kAlice && r.field("to_id") == kBob;
        });
    EXPECT_FALSE(invite.path.empty());
}

}  // namespace
