// Leave and force leave against the real daemon: the notices on the wire,
// the connections that end, and what reaches the WAS.

#include <gtest/gtest.h>

#include <string>

#include "ChatLoopback.h"
#include "tools/client/LeBytes.h"

namespace {

constexpr uint32_t kRoom = 100;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

// alice (PC) opens the room with bob and carol. Join sequences: alice 1,
// bob 2, carol 3; message numbers 2 and 3 go to the invitations.
class LeaveFlowTest : public ChatLoopbackTest {
protected:
    void SetUp() override {
        ChatLoopbackTest::SetUp();
        m_alice = &openRoom(kRoom, kAlice, {kBob, kCarol});
    }

    // Nothing but result notices of other work arrived before a pong.
    static void expectNoNotice(Client& c, const std::string& who) {
        EXPECT_TRUE(c.ping()) << who << " got no pong";
        for (const client::Packet& p : c.pending())
            if (p.code != client::MSG_RESULT) ADD_FAILURE() << who << " got " << client::describe(p);
    }

    // The USER_LEAVE_ALARM bob's leave or removal sends: bob by the given
    // device kind, message number 6 (after bob's and carol's joins took 4
    // and 5), three members before the leave, bob's join sequence 2.
    static std::string bobLeftBody(uint16_t osType, uint32_t msgTime) {
        return LeBytes()
            .u32(kRoom).str16(kBob).str16(nameOf(kBob)).u16(osType).u32(6).u32(msgTime).u32(3).u32(2).u16(1);
    }

    static void expectBobLeft(Client& c, uint16_t osType, const std::string& who) {
        auto p = c.waitFor(client::USER_LEAVE_ALARM);
        ASSERT_TRUE(p) << who << " got no USER_LEAVE_ALARM";
        auto notice = client::decodeUserLeaveAlarm(*p);
        ASSERT_TRUE(notice) << client::describe(*p);
        EXPECT_NE(0u, notice->msgTime);
        EXPECT_WIRE(client::encodePacket(client::USER_LEAVE_ALARM, bobLeftBody(osType, notice->msgTime)), *p);
    }

    FakeWas::Request leaveRecordOf(const std::string& userId) {
        return wasRequestMatching(m_daemon.was(), DaemonHarness::kLeavePage,
                                  [&](const FakeWas::Request& r) { return r.field("user_id") == userId; });
    }

    Client* m_alice = nullptr;
};

TEST_F(LeaveFlowTest, LeaveTellsTheOthersEndsBothOfTheLeaversSessionsAndIsRecorded) {
    Client& bobPc = joinAs(kRoom, kBob, client::OS_TYPE_PC);
    Client& bobMobile = joinAs(kRoom, kBob, client::OS_TYPE_MOBILE);
    Client& carol = joinAs(kRoom, kCarol, client::OS_TYPE_PC);

    ASSERT_TRUE(bobPc.sendLeave(client::LeaveRequest{kRoom, kBob, nameOf(kBob), client::OS_TYPE_PC}));
    expectClosedWithoutReply(bobPc, "the leaver's PC");
    expectBobLeft(*m_alice, client::OS_TYPE_PC, "alice");
    expectBobLeft(carol, client::OS_TYPE_PC, "carol");
    // The other device hears of the leave like any member, then is closed.
    EXPECT_TRUE(bobMobile.waitClosed()) << "bob's mobile is still open";
    for (const client::Packet& p : bobMobile.pending())
        if (p.code != client::USER_LEAVE_ALARM) ADD_FAILURE() << "bob's mobile got " << client::describe(p);
    expectNoNotice(*m_alice, "alice");

    const FakeWas::Request leave = leaveRecordOf(kBob);
    EXPECT_EQ("100", leave.field("room_id"));
    EXPECT_EQ("1", leave.field("os_type"));
    EXPECT_EQ("2", leave.field("join_seq"));
    EXPECT_EQ("yes", leave.field("leave_current_join_seq"));
    const FakeWas::Request saved = wasRequestMatching(m_daemon.was(), DaemonHarness::kSaveMsgPage,
                                                      [](const FakeWas::Request& r) { return r.field("msg_type") == "3"; });
    EXPECT_EQ(kBob, saved.field("send_user_id"));
    EXPECT_EQ("6", saved.field("msg_seq"));
    EXPECT_TRUE(m_daemon.waitForChatLog("S:>>:100:-1:USER_LEAVE:" + kBob + ":PC:SUCC:")) << m_daemon.chatLog();
}

TEST_F(LeaveFlowTest, LeaveOfAMemberWhoAlreadyLeftClosesWithoutAnnouncingAnything) {
    Client& bob = joinAs(kRoom, kBob, client::OS_TYPE_PC);
    ASSERT_TRUE(bob.sendLeave(client::LeaveRequest{kRoom, kBob, nameOf(kBob), client::OS_TYPE_PC}));
    ASSERT_TRUE(bob.waitClosed());
    ASSERT_TRUE(m_alice->waitFor(client::USER_LEAVE_ALARM));

    Client& again = connect();
    ASSERT_TRUE(again.sendLeave(client::LeaveRequest{kRoom, kBob, nameOf(kBob), client::OS_TYPE_PC}));
    expectClosedWithoutReply(again, "second leave");
    expectNoNotice(*m_alice, "alice");
    EXPECT_TRUE(m_daemon.waitForCommandLog("Already left user. room_id=100, id=" + kBob + ", osType=1"))
        << m_daemon.commandLog();
    // The leave job and the notice's send lines are written while the
    // request is handled, so by now a second leave would show.
    EXPECT_EQ(1, m_daemon.countInCommandLog("leave /was/leave,"));
    const std::string chat = m_daemon.chatLog();
    int noticeLines = 0;
    for (size_t at = chat.find(":USER_LEAVE_ALARM:"); at != std::string::npos;
         at = chat.find(":USER_LEAVE_ALARM:", at + 1))
        ++noticeLines;
    EXPECT_EQ(1, noticeLines) << chat;  // alice's, for the first leave
}

TEST_F(LeaveFlowTest, ForceLeaveEndsTheRemovedMembersSessionsAndAnswersTheRemover) {
    Client& bobPc = joinAs(kRoom, kBob, client::OS_TYPE_PC);
    Client& bobMobile = joinAs(kRoom, kBob, client::OS_TYPE_MOBILE);
    Client& carol = joinAs(kRoom, kCarol, client::OS_TYPE_PC);

    ASSERT_TRUE(m_alice->sendForceLeave(
        client::ForceLeaveRequest{kRoom, kAlice, nameOf(kAlice), client::OS_TYPE_PC, kBob, nameOf(kBob)}));
    const std::string body =
        LeBytes().u32(kRoom).str16(kAlice).str16(nameOf(kAlice)).u16(client::OS_TYPE_PC).str16(kBob).str16(nameOf(kBob));
    // The answer to a request of the daemon's own making: trid 0, in clear.
    auto reply = m_alice->waitFor(client::USER_FORCE_LEAVE_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_WIRE(client::encodePacket(client::USER_FORCE_LEAVE_REPLY, body), *reply);

    for (Client* removed : {&bobPc, &bobMobile}) {
        auto alarm = removed->waitFor(client::USER_FORCE_LEAVE_ALARM);
        ASSERT_TRUE(alarm);
        EXPECT_WIRE(client::encodePacket(client::USER_FORCE_LEAVE_ALARM, body), *alarm);
        EXPECT_TRUE(removed->waitClosed()) << "a removed member's session is still open";
    }
    // The leave notice names bob with the remover's device kind.
    expectBobLeft(carol, client::OS_TYPE_PC, "carol");
    expectBobLeft(*m_alice, client::OS_TYPE_PC, "alice");
    EXPECT_TRUE(m_alice->ping()) << "the remover was closed";
    EXPECT_FALSE(m_alice->closed());

    const FakeWas::Request leave = leaveRecordOf(kBob);
    EXPECT_EQ("2", leave.field("join_seq"));
    EXPECT_EQ("yes", leave.field("leave_current_join_seq"));
}

TEST_F(LeaveFlowTest, ForceLeaveWithA257ByteTargetClosesTheRemoverAndNothingElseHappens) {
    Client& bob = joinAs(kRoom, kBob, client::OS_TYPE_PC);

    ASSERT_TRUE(m_alice->sendForceLeave(client::ForceLeaveRequest{kRoom, kAlice, nameOf(kAlice), client::OS_TYPE_PC,
                                                                  std::string(257, 'b'), nameOf(kBob)}));
    expectClosedWithoutReply(*m_alice, "remover with an over-long target");
    expectNoNotice(bob, "bob");
    EXPECT_TRUE(m_daemon.waitForCommandLog("Input FORCE_LEAVE_TO_ID length = 257")) << m_daemon.commandLog();
    EXPECT_EQ(0, m_daemon.countInCommandLog("leave /was/leave,"));

    // bob is still a joined member: his other device's join is not announced.
    client::JoinReply reply;
    join(kRoom, kBob, client::OS_TYPE_MOBILE, &reply);
    EXPECT_EQ(0, reply.result);
    expectNoNotice(bob, "bob");
}

}  // namespace
