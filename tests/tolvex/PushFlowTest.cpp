// Mobile push against the real daemon: the per-member limit over several
// messages, and its reset when the member shows up on a mobile.

#include <gtest/gtest.h>

#include <string>

#include "ChatLoopback.h"

namespace {

constexpr uint32_t kRoom = 300;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

DaemonHarness::Options withPushLimit(int limit) {
    DaemonHarness::Options options;
    options.extraCommon = "<push_alarm_count>" + std::to_string(limit) + "</push_alarm_count>";
    return options;
}

}  // namespace

class PushFlowTest : public ChatLoopbackTest {
protected:
    PushFlowTest() : ChatLoopbackTest(withPushLimit(3)) {}

    // alice (PC) opens the room with bob and carol, who never connect.
    void SetUp() override {
        ChatLoopbackTest::SetUp();
        m_alice = &openRoom(kRoom, kAlice, {kBob, kCarol});
    }

    // A message from alice; its number, from the ACK.
    uint32_t say(const std::string& text) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = kAlice;
        m.fromName = nameOf(kAlice);
        m.msg = text;
        m.trid = ++m_trid;
        EXPECT_TRUE(m_alice->sendMsg(m));
        // Result notices of earlier messages may come first.
        auto ack = m_alice->waitFor(client::MSG_ACK);
        EXPECT_TRUE(ack) << "no MSG_ACK for " << text;
        if (!ack) return 0;
        auto decoded = client::decodeMsgAck(*ack);
        return decoded ? decoded->msgNum : 0;
    }

    // The recipients of the push for message msgNum; empty when none came.
    std::string pushedFor(uint32_t msgNum) {
        const FakeWas::Request push = wasRequestMatching(
            m_daemon.was(), DaemonHarness::kMobilePushPage,
            [&](const FakeWas::Request& r) { return r.field("msgSeq") == std::to_string(msgNum); });
        return push.field("userid");
    }

    int pushRequestsFor(uint32_t msgNum) {
        int n = 0;
        for (const FakeWas::Request& r : m_daemon.was().requestsTo(DaemonHarness::kMobilePushPage))
            n += r.field("msgSeq") == std::to_string(msgNum);
        return n;
    }

    Client* m_alice = nullptr;
    uint32_t m_trid = 500;
};

TEST_F(PushFlowTest, MemberIsPushedUpToTheLimitUntilItJoinsFromAMobile) {
    for (int i = 1; i <= 3; ++i) {
        const uint32_t num = say("message " + std::to_string(i));
        ASSERT_NE(0u, num);
        // Both, comma-separated, no trailing comma.
        EXPECT_EQ(kBob + "," + kCarol, pushedFor(num)) << "message " << i;
    }
    const uint32_t fourth = say("message 4");
    ASSERT_NE(0u, fourth);
    // The push job would start right after the save job of the same message.
    EXPECT_FALSE(wasRequestMatching(m_daemon.was(), DaemonHarness::kSaveMsgPage, [&](const FakeWas::Request& r) {
                     return r.field("msg_seq") == std::to_string(fourth);
                 }).path.empty());

    // bob shows up on his mobile and goes away again: his count starts over.
    client::JoinReply reply;
    Client& bobMobile = join(kRoom, kBob, client::OS_TYPE_MOBILE, &reply);
    ASSERT_EQ(0, reply.result);
    bobMobile.close();
    ASSERT_TRUE(m_daemon.waitForCommandLog("remove session: room_id=300, user_id=" + kBob + ", os_type=2"))
        << m_daemon.commandLog();
    EXPECT_EQ(1, m_daemon.countInCommandLog("userid=" + kBob + ", room_id=300, osType=2, type=3, err=0, "
                                            "strerror=closed by the peer"))
        << m_daemon.commandLog();

    const uint32_t fifth = say("message 5");
    ASSERT_NE(0u, fifth);
    EXPECT_EQ(kBob, pushedFor(fifth)) << "carol is still at the limit";
    // Requests go out in the order the messages came, so the fourth
    // message's would have arrived by now.
    EXPECT_EQ(0, pushRequestsFor(fourth)) << "nobody may be pushed for the fourth message";
    EXPECT_EQ(1, pushRequestsFor(fifth));
    EXPECT_EQ(4u, m_daemon.was().requestsTo(DaemonHarness::kMobilePushPage).size());
}
