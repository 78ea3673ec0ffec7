// Room init, invite, join and rejoin against the real daemon, byte for byte
// where the daemon's bytes are fixed.

#include <gtest/gtest.h>

#include <chrono>

#include <sstream>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "support/Process.h"
#include "tools/client/LeBytes.h"

namespace {

constexpr uint32_t kRoom = 100;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";
const std::string kDave = "dave@corp.example.com";

class RoomFlowTest : public ChatLoopbackTest {
protected:
    // alice opens the room with bob and carol invited, none of them online.
    Client& openGroupRoom() { return openRoom(kRoom, kAlice, {kBob, kCarol}); }

    static std::string memberList(const std::vector<std::string>& ids) {
        LeBytes b;
        b.u16(static_cast<uint16_t>(ids.size()));
        for (const std::string& id : ids) b.str16(id).str16(nameOf(id));
        return b;
    }

    static void expectJoinAlarm(Client& c, const std::string& userId, uint16_t joinType, uint32_t msgNum,
                                uint32_t memberCount) {
        auto p = c.waitFor(client::USER_JOIN_ALARM);
        ASSERT_TRUE(p) << "no USER_JOIN_ALARM for " << userId;
        EXPECT_EQ(0u, p->trid);
        EXPECT_EQ(0, p->etype);
        auto a = client::decodeUserJoinAlarm(*p);
        ASSERT_TRUE(a) << client::describe(*p);
        EXPECT_EQ(kRoom, a->roomId);
        EXPECT_EQ(userId, a->userId);
        EXPECT_EQ(nameOf(userId), a->nameInfo);
        EXPECT_EQ(joinType, a->joinType);
        EXPECT_EQ(msgNum, a->msgNum);
        EXPECT_EQ(memberCount, a->memberCount);
        EXPECT_NE(0u, a->msgTime);
    }
};

TEST_F(RoomFlowTest, RoomInitWithTwoInviteesAnnouncesBothAndSavesTwoNotices) {
    Client& alice = connect();
    ASSERT_TRUE(alice.sendRoomInit(roomInit(kRoom, kAlice, {kBob, kCarol})));

    auto initReply = alice.receive();
    ASSERT_TRUE(initReply);
    EXPECT_WIRE(replyWire(client::ROOM_CREATE_REPLY, LeBytes().u32(kRoom).u16(0), alice.lastTrid()), *initReply);

    // Each invitee takes the next message number; the count includes them.
    expectJoinAlarm(alice, kBob, client::JOIN_TYPE_DUMMY, 2, 2);
    expectJoinAlarm(alice, kCarol, client::JOIN_TYPE_DUMMY, 3, 3);

    // The invitation is answered as a USER_ADD the daemon made itself (trid 0).
    auto inviteReply = alice.waitFor(client::USER_ADD_REPLY);
    ASSERT_TRUE(inviteReply);
    EXPECT_WIRE(replyWire(client::USER_ADD_REPLY, LeBytes().u32(kRoom).u16(0).u32(3).u32(2).u32(0), 0), *inviteReply);
    expectQuiet(alice, "alice");

    // One saved join notice per invitee, with the number its alarm carried.
    for (const auto& [member, seq] : {std::pair<std::string, std::string>{kBob, "2"}, {kCarol, "3"}}) {
        const FakeWas::Request saved =
            wasRequestMatching(m_daemon.was(), DaemonHarness::kSaveMsgPage, [&](const FakeWas::Request& r) {
                return r.field("send_user_id") == member && r.field("room_id") == std::to_string(kRoom);
            });
        EXPECT_EQ(seq, saved.field("msg_seq")) << member;
        EXPECT_EQ("2", saved.field("msg_type")) << member;
    }
}

TEST_F(RoomFlowTest, InvitedMemberJoinGetsTheMemberListAndTheOthersARealJoinNotice) {
    Client& alice = openGroupRoom();
    Client& bob = connect();
    ASSERT_TRUE(bob.sendJoin(joinRequest(kRoom, kBob)));

    auto reply = bob.waitFor(client::USER_JOIN_REPLY);
    ASSERT_TRUE(reply);
    // Members by user id, group kind, bob's join sequence (2nd added) and
    // the room's message number after the real join took one (4).
    const std::string body =
        LeBytes().u32(kRoom).u16(0).text(memberList({kAlice, kBob, kCarol})).u16(client::ROOM_KIND_GROUP).u32(2).u32(4);
    EXPECT_WIRE(replyWire(client::USER_JOIN_REPLY, body, bob.lastTrid()), *reply);

    expectJoinAlarm(alice, kBob, client::JOIN_TYPE_REAL, 4, 3);
    expectQuiet(alice, "alice");
    expectQuiet(bob, "bob");
}

TEST_F(RoomFlowTest, JoinFromTheMembersSecondDeviceIsNotAnnounced) {
    Client& alice = openGroupRoom();
    client::JoinReply pcReply;
    Client& bobPc = join(kRoom, kBob, client::OS_TYPE_PC, &pcReply);
    ASSERT_EQ(0, pcReply.result);
    expectJoinAlarm(alice, kBob, client::JOIN_TYPE_REAL, 4, 3);

    client::JoinReply mobileReply;
    Client& bobMobile = join(kRoom, kBob, client::OS_TYPE_MOBILE, &mobileReply);
    EXPECT_EQ(0, mobileReply.result);
    EXPECT_EQ(pcReply.members, mobileReply.members);
    EXPECT_EQ(2u, mobileReply.joinSeq);
    EXPECT_EQ(4u, mobileReply.currentMsgNum) << "a second device takes no message number";

    expectQuiet(alice, "alice");
    expectQuiet(bobPc, "bob's PC");
    expectQuiet(bobMobile, "bob's mobile");
}

TEST_F(RoomFlowTest, SecondPcSessionReplacesTheFirstWhichIsToldWhyAndClosed) {
    Client& alice = openGroupRoom();
    client::JoinReply first;
    Client& oldPc = join(kRoom, kBob, client::OS_TYPE_PC, &first);
    ASSERT_EQ(0, first.result);
    expectJoinAlarm(alice, kBob, client::JOIN_TYPE_REAL, 4, 3);

    client::JoinReply second;
    Client& newPc = join(kRoom, kBob, client::OS_TYPE_PC, &second);
    EXPECT_EQ(0, second.result);

    auto notice = oldPc.waitFor(client::SESSION_CLOSE);
    ASSERT_TRUE(notice);
    EXPECT_WIRE(client::encodePacket(client::SESSION_CLOSE,
                                     LeBytes().u32(kRoom).u16(client::SESSION_CLOSE_REASON_DUPLICATED).str()),
                *notice);
    expectClosedWithoutReply(oldPc, "replaced session");

    expectQuiet(newPc, "bob's new PC");
    expectQuiet(alice, "alice");
    EXPECT_TRUE(m_daemon.waitForChatLog("SESSION_CLOSE")) << m_daemon.chatLog();
    EXPECT_NE(std::string::npos, m_daemon.chatLog().find("10(dup)"));
}

TEST_F(RoomFlowTest, NonMemberJoinIsAnswered120WithTheListAndStaysOpen) {
    Client& alice = openGroupRoom();
    client::JoinReply reply;
    Client& dave = join(kRoom, kDave, client::OS_TYPE_PC, &reply);
    EXPECT_EQ(client::JOIN_RES_ALREADY_INVITED_USER, reply.result);
    ASSERT_TRUE(reply.hasMemberList);
    const std::vector<client::member_t> members = {
        {kAlice, nameOf(kAlice)}, {kBob, nameOf(kBob)}, {kCarol, nameOf(kCarol)}};
    EXPECT_EQ(members, reply.members) << "dave is not added";
    EXPECT_EQ(client::ROOM_KIND_GROUP, reply.roomKind);

    expectQuiet(dave, "dave");
    expectQuiet(alice, "alice");
    // Still not a member the second time.
    client::JoinReply again;
    join(kRoom, kDave, client::OS_TYPE_MOBILE, &again);
    EXPECT_EQ(client::JOIN_RES_ALREADY_INVITED_USER, again.result);
}

TEST_F(RoomFlowTest, RejoinIntoAGroupRoomIsRefusedWith130AndJoinsNobody) {
    Client& alice = openGroupRoom();
    Client& carol = connect();
    ASSERT_TRUE(carol.sendRejoin(joinRequest(kRoom, kCarol)));
    auto reply = carol.waitFor(client::USER_REJOIN_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_WIRE(replyWire(client::USER_REJOIN_REPLY, LeBytes().u32(kRoom).u16(client::JOIN_RES_NOT_SUPPORT_ROOMTYPE),
                          carol.lastTrid()),
                *reply);
    expectClosedWithoutReply(carol, "refused rejoin");
    expectQuiet(alice, "alice");

    // The refused rejoin did not make her present: her first real join is
    // announced, with the message number the refusal did not take.
    client::JoinReply joined;
    join(kRoom, kCarol, client::OS_TYPE_PC, &joined);
    EXPECT_EQ(0, joined.result);
    expectJoinAlarm(alice, kCarol, client::JOIN_TYPE_REAL, 4, 3);
}

TEST_F(RoomFlowTest, JoinOfALeftMemberIsAnswered110AndClosed) {
    openGroupRoom();
    client::JoinReply joined;
    Client& bob = join(kRoom, kBob, client::OS_TYPE_PC, &joined);
    ASSERT_EQ(0, joined.result);
    ASSERT_TRUE(bob.sendLeave(client::LeaveRequest{kRoom, kBob, nameOf(kBob), client::OS_TYPE_PC}));
    expectClosedWithoutReply(bob, "leaver");

    Client& again = connect();
    ASSERT_TRUE(again.sendJoin(joinRequest(kRoom, kBob)));
    auto reply = again.waitFor(client::USER_JOIN_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_WIRE(replyWire(client::USER_JOIN_REPLY, LeBytes().u32(kRoom).u16(client::JOIN_RES_NOT_INVITED_USER),
                          again.lastTrid()),
                *reply);
    expectClosedWithoutReply(again, "left member's join");
}

TEST_F(RoomFlowTest, TheSameRoomIdUnderTwoTenantsIsTwoRooms) {
    const std::string oneAlice = "alice@corp.one.com";
    const std::string oneBob = "bob@corp.one.com";
    const std::string twoZed = "zed@corp.two.com";
    const std::string twoBob = "bob@corp.two.com";
    Client& alice = openRoom(kRoom, oneAlice, {oneBob});
    Client& zed = openRoom(kRoom, twoZed);

    client::JoinReply stranger;
    join(kRoom, twoBob, client::OS_TYPE_PC, &stranger);
    EXPECT_EQ(client::JOIN_RES_ALREADY_INVITED_USER, stranger.result);
    EXPECT_EQ((std::vector<client::member_t>{{twoZed, nameOf(twoZed)}}), stranger.members);

    client::JoinReply member;
    join(kRoom, oneBob, client::OS_TYPE_PC, &member);
    EXPECT_EQ(0, member.result);
    EXPECT_EQ((std::vector<client::member_t>{{oneAlice, nameOf(oneAlice)}, {oneBob, nameOf(oneBob)}}),
              member.members);
    EXPECT_EQ(client::ROOM_KIND_COUPLE, member.roomKind);

    auto alarm = alice.waitFor(client::USER_JOIN_ALARM);
    ASSERT_TRUE(alarm);
    EXPECT_EQ(oneBob, client::decodeUserJoinAlarm(*alarm)->userId);
    expectQuiet(alice, "alice of tenant one");
    expectQuiet(zed, "zed of tenant two");
}

// The same scenario on each poller the daemon offers.
class RoomFlowPollerTest : public ChatLoopbackTest, public ::testing::WithParamInterface<const char*> {
protected:
    RoomFlowPollerTest() : ChatLoopbackTest(optionsFor(GetParam())) {}
    static DaemonHarness::Options optionsFor(const char* iotype) {
        DaemonHarness::Options o;
        o.iotype = iotype;
        return o;
    }
};

TEST_P(RoomFlowPollerTest, OpenInviteAndJoin) {
    Client& alice = openRoom(kRoom, kAlice, {kBob});
    client::JoinReply reply;
    join(kRoom, kBob, client::OS_TYPE_MOBILE, &reply);
    EXPECT_EQ(0, reply.result);
    EXPECT_EQ(client::ROOM_KIND_COUPLE, reply.roomKind);
    auto alarm = alice.waitFor(client::USER_JOIN_ALARM);
    ASSERT_TRUE(alarm);
    EXPECT_EQ(client::JOIN_TYPE_REAL, client::decodeUserJoinAlarm(*alarm)->joinType);
}

INSTANTIATE_TEST_SUITE_P(Pollers, RoomFlowPollerTest, ::testing::Values("select", "poll", "epoll"));

}  // namespace
