// Decoding of every reply and notice, from bodies written by hand.

#include <gtest/gtest.h>

#include <string>

#include "client/Protocol.h"
#include "client/Replies.h"
#include "LeBytes.h"

namespace {

using client::Packet;

class RepliesTest : public ::testing::Test {
protected:
    static Packet packet(uint16_t code, const std::string& body) {
        Packet p;
        p.code = code;
        p.body = p.wireBody = body;
        return p;
    }
    static std::string memberListJoinBody(uint16_t result) {
        return LeBytes().u32(7).u16(result).u16(2).str16("alice").str16("Alice").str16("bob").str16("Bob")
            .u16(client::ROOM_KIND_COUPLE).u32(2).u32(5);
    }
};

TEST_F(RepliesTest, RoomInitReplyIsRoomAndResult) {
    auto r = client::decodeRoomInitReply(packet(client::ROOM_CREATE_REPLY, LeBytes().u32(99).u16(0)));
    ASSERT_TRUE(r);
    EXPECT_EQ(99u, r->roomId);
    EXPECT_EQ(0, r->result);
}

TEST_F(RepliesTest, AnotherCodeShortBodyOrLeftoverBytesDecodeToNothing) {
    const std::string body = LeBytes().u32(99).u16(0);
    EXPECT_FALSE(client::decodeRoomInitReply(packet(client::USER_JOIN_REPLY, body)));
    EXPECT_FALSE(client::decodeRoomInitReply(packet(client::ROOM_CREATE_REPLY, body.substr(0, 5))));
    EXPECT_FALSE(client::decodeRoomInitReply(packet(client::ROOM_CREATE_REPLY, body + "x")));
}

TEST_F(RepliesTest, InviteReplyListsTheFailedIds) {
    auto r = client::decodeInviteReply(
        packet(client::USER_ADD_REPLY, LeBytes().u32(7).u16(0).u32(3).u32(2).u32(1).str16("zed")));
    ASSERT_TRUE(r);
    EXPECT_EQ(3u, r->memberCount);
    EXPECT_EQ(2u, r->requestedCount);
    EXPECT_EQ(std::vector<std::string>{"zed"}, r->failedIds);
}

TEST_F(RepliesTest, JoinReplyWithSuccessCarriesTheMemberListAndCounters) {
    auto r = client::decodeJoinReply(packet(client::USER_JOIN_REPLY, memberListJoinBody(0)));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->hasMemberList);
    const std::vector<client::member_t> expected = {{"alice", "Alice"}, {"bob", "Bob"}};
    EXPECT_EQ(expected, r->members);
    EXPECT_EQ(client::ROOM_KIND_COUPLE, r->roomKind);
    EXPECT_EQ(2u, r->joinSeq);
    EXPECT_EQ(5u, r->currentMsgNum);
}

TEST_F(RepliesTest, NonMemberJoinStillCarriesTheList) {
    auto r = client::decodeJoinReply(packet(client::USER_REJOIN_REPLY, memberListJoinBody(120)));
    ASSERT_TRUE(r);
    EXPECT_EQ(120, r->result);
    EXPECT_EQ(2u, r->members.size());
}

TEST_F(RepliesTest, RefusedJoinIsOnlyRoomAndResult) {
    auto r = client::decodeJoinReply(packet(client::USER_JOIN_REPLY, LeBytes().u32(7).u16(110)));
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->hasMemberList);
    // A list after a refusal is a fault, not extra information.
    EXPECT_FALSE(client::decodeJoinReply(packet(client::USER_JOIN_REPLY, memberListJoinBody(130))));
}

TEST_F(RepliesTest, JoinReplyCutInsideTheListDecodesToNothing) {
    const std::string body = memberListJoinBody(0);
    EXPECT_FALSE(client::decodeJoinReply(packet(client::USER_JOIN_REPLY, body.substr(0, body.size() - 1))));
}

TEST_F(RepliesTest, JoinAlarmNamesTheMemberAndTheJoinType) {
    auto a = client::decodeUserJoinAlarm(packet(
        client::USER_JOIN_ALARM, LeBytes().u32(7).str16("bob").str16("Bob").u16(1).u32(2).u32(1700000000).u32(3)
                                     .u16(client::JOIN_TYPE_DUMMY)));
    ASSERT_TRUE(a);
    EXPECT_EQ("bob", a->userId);
    EXPECT_EQ(2u, a->msgNum);
    EXPECT_EQ(3u, a->memberCount);
    EXPECT_EQ(client::JOIN_TYPE_DUMMY, a->joinType);
}

TEST_F(RepliesTest, LeaveAlarmJoinSequenceIsSigned) {
    auto a = client::decodeUserLeaveAlarm(
        packet(client::USER_LEAVE_ALARM,
               LeBytes().u32(7).str16("bob").str16("Bob").u16(2).u32(9).u32(1).u32(2).u32(0xFFFFFF9C).u16(1)));
    ASSERT_TRUE(a);
    EXPECT_EQ(client::LEAVE_ALL_HISTORY, a->joinSeq);
    EXPECT_EQ(1, a->leaveType);
}

TEST_F(RepliesTest, ForceLeaveAlarmAndReplyShareOneBody) {
    const std::string body = LeBytes().u32(7).str16("alice").str16("A").u16(1).str16("bob").str16("B");
    auto alarm = client::decodeForceLeave(packet(client::USER_FORCE_LEAVE_ALARM, body));
    auto reply = client::decodeForceLeave(packet(client::USER_FORCE_LEAVE_REPLY, body));
    ASSERT_TRUE(alarm);
    ASSERT_TRUE(reply);
    EXPECT_EQ("bob", alarm->toId);
    EXPECT_EQ("alice", reply->fromId);
}

TEST_F(RepliesTest, SessionCloseCarriesTheReason) {
    auto s = client::decodeSessionClose(packet(client::SESSION_CLOSE, LeBytes().u32(7).u16(10)));
    ASSERT_TRUE(s);
    EXPECT_EQ(client::SESSION_CLOSE_REASON_DUPLICATED, s->reason);
}

TEST_F(RepliesTest, MessageAckAndAttachAckShareOneBody) {
    const std::string body = LeBytes().u32(7).u32(12).str16("alice").u32(77).u32(1700000000);
    auto msg = client::decodeMsgAck(packet(client::MSG_ACK, body));
    auto attach = client::decodeMsgAck(packet(client::ATTACH_ACK, body));
    ASSERT_TRUE(msg);
    ASSERT_TRUE(attach);
    EXPECT_EQ(12u, msg->msgNum);
    EXPECT_EQ(77u, attach->trid);
}

TEST_F(RepliesTest, RelayedMessageCarriesItsFontWithoutAPrefix) {
    auto m = client::decodeMsgRelay(
        packet(client::MSG_RELAY, LeBytes().u32(7).str16("alice").str16("A").u16(1).u32(5).str16("hello").u32(12)
                                      .u32(3).text("fnt").u32(77).u8(1)));
    ASSERT_TRUE(m);
    EXPECT_EQ("hello", m->msg);
    EXPECT_EQ("fnt", m->font);
    EXPECT_EQ(77u, m->trid);
    EXPECT_EQ(1, m->msgType);
}

TEST_F(RepliesTest, TypingAlarmReadsOurDetailsAndToleratesOthers) {
    auto ours = client::decodeTypingAlarm(packet(client::TYPING_ALARM, LeBytes().u32(7).str16("bob").u8(1)));
    ASSERT_TRUE(ours);
    EXPECT_TRUE(ours->hasDetails);
    EXPECT_EQ("bob", ours->userId);
    auto foreign = client::decodeTypingAlarm(packet(client::TYPING_ALARM, LeBytes().u32(7).text("??")));
    ASSERT_TRUE(foreign);
    EXPECT_FALSE(foreign->hasDetails);
    EXPECT_EQ(7u, foreign->roomId);
    EXPECT_FALSE(client::decodeTypingAlarm(packet(client::TYPING_ALARM, "abc")));
}

TEST_F(RepliesTest, AttachRelayCarriesTheFile) {
    auto a = client::decodeAttachAlarmRelay(
        packet(client::ATTACH_ALARM_RELAY, LeBytes().u32(7).str16("alice").str16("A").u16(1).u32(5).u32(77).u32(12)
                                               .u8(5).str16("f.txt").u32(1000).str16("http://f")));
    ASSERT_TRUE(a);
    EXPECT_EQ("f.txt", a->fileName);
    EXPECT_EQ(1000u, a->fileSize);
    EXPECT_EQ("http://f", a->url);
}

TEST_F(RepliesTest, MessageResultListsEveryOutcome) {
    auto r = client::decodeMsgResult(packet(
        client::MSG_RESULT, LeBytes().u32(7).u32(12).u32(77).u32(5).u16(1).u32(3).u32(2).str16("bob").str16("B")
                                .u16(1).u32(1).str16("carol").str16("C").u16(2).u32(11)));
    ASSERT_TRUE(r);
    EXPECT_EQ(3u, r->resultSeq);
    ASSERT_EQ(2u, r->results.size());
    EXPECT_EQ(client::SEND_RESULT_SUCCESS, r->results[0].code);
    EXPECT_EQ("carol", r->results[1].userId);
    EXPECT_EQ(client::SEND_RESULT_NO_SESSION, r->results[1].code);
}

TEST_F(RepliesTest, NotReadyIsAnEmptyReplyToTheServersOwnCode) {
    EXPECT_TRUE(client::decodeNotReady(packet(0x8C90, "")));
    EXPECT_FALSE(client::decodeNotReady(packet(0x8C90, "x")));
}

TEST_F(RepliesTest, InvalidCommandIsAnyReplyWithOnlyResult515) {
    auto r = client::decodeInvalidCommand(packet(0x8C11, std::string("\x03\x02", 2)));
    ASSERT_TRUE(r);
    EXPECT_EQ(0x0C11, r->requestCode);
    EXPECT_FALSE(client::decodeInvalidCommand(packet(0x0C11, std::string("\x03\x02", 2))));
    EXPECT_FALSE(client::decodeInvalidCommand(packet(0x8C11, std::string("\x02\x03", 2))));
    EXPECT_FALSE(client::decodeInvalidCommand(packet(0x8C01, LeBytes().u32(515).u16(0))));
}

}  // namespace
