// Decoding of every reply and notice, from bodies written by hand.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "client/Protocol.h"
#include "client/Replies.h"
#include "LeBytes.h"

namespace {

using client::Packet;

Packet packet(uint16_t code, const std::string& body) {
    Packet p;
    p.code = code;
    p.body = p.wireBody = body;
    return p;
}

std::string memberListJoinBody(uint16_t result) {
    return LeBytes().u32(7).u16(result).u16(2).str16("alice").str16("Alice").str16("bob").str16("Bob")
        .u16(client::ROOM_KIND_COUPLE).u32(2).u32(5);
}

const std::string kLeaveBody = LeBytes().u32(7).str16("bob").str16("Bob").u16(2).u32(9).u32(1).u32(2).u32(0xFFFFFF9C)
                                   .u16(1);
const std::string kRelayBody = LeBytes().u32(7).str16("alice").str16("A").u16(1).u32(5).str16("hello").u32(12)
                                   .u32(3).text("fnt").u32(77).u8(1);
const std::string kAttachBody = LeBytes().u32(7).str16("alice").str16("A").u16(1).u32(5).u32(77).u32(12).u8(5)
                                    .str16("f.txt").u32(1000).str16("http://f");
const std::string kResultBody = LeBytes().u32(7).u32(12).u32(77).u32(5).u16(1).u32(3).u32(2).str16("bob").str16("B")
                                    .u16(1).u32(1).str16("carol").str16("C").u16(2).u32(11);

// A complete body per decoder. The daemon's packets are always whole, so a
// body one byte short, one byte long or under another code must not decode.
struct reply_case_t {
    const char* name;
    uint16_t code;
    std::string body;
    std::function<bool(const Packet&)> decodes;
};

template <auto Decode>
bool decodes(const Packet& p) {
    return Decode(p).has_value();
}

void PrintTo(const reply_case_t& c, std::ostream* os) { *os << c.name; }

class ReplyFramingTest : public ::testing::TestWithParam<reply_case_t> {};

TEST_P(ReplyFramingTest, OnlyTheWholeBodyUnderItsOwnCodeDecodes) {
    const reply_case_t& c = GetParam();
    EXPECT_TRUE(c.decodes(packet(c.code, c.body)));
    EXPECT_FALSE(c.decodes(packet(c.code, c.body.substr(0, c.body.size() - 1))));
    EXPECT_FALSE(c.decodes(packet(c.code, c.body + "x")));
    EXPECT_FALSE(c.decodes(packet(client::SESSION_CLOSE == c.code ? client::MSG_ACK : client::SESSION_CLOSE, c.body)));
}

INSTANTIATE_TEST_SUITE_P(
    Decoders, ReplyFramingTest,
    ::testing::Values(
        reply_case_t{"RoomInit", client::ROOM_CREATE_REPLY, LeBytes().u32(99).u16(0), decodes<client::decodeRoomInitReply>},
        reply_case_t{"Invite", client::USER_ADD_REPLY, LeBytes().u32(7).u16(0).u32(3).u32(2).u32(1).str16("zed"),
                     decodes<client::decodeInviteReply>},
        reply_case_t{"Join", client::USER_JOIN_REPLY, memberListJoinBody(0), decodes<client::decodeJoinReply>},
        reply_case_t{"JoinAlarm", client::USER_JOIN_ALARM,
                     LeBytes().u32(7).str16("bob").str16("Bob").u16(1).u32(2).u32(1700000000).u32(3).u16(1),
                     decodes<client::decodeUserJoinAlarm>},
        reply_case_t{"LeaveAlarm", client::USER_LEAVE_ALARM, kLeaveBody, decodes<client::decodeUserLeaveAlarm>},
        reply_case_t{"ForceLeave", client::USER_FORCE_LEAVE_REPLY,
                     LeBytes().u32(7).str16("alice").str16("A").u16(1).str16("bob").str16("B"),
                     decodes<client::decodeForceLeave>},
        reply_case_t{"SessionClose", client::SESSION_CLOSE, LeBytes().u32(7).u16(10), decodes<client::decodeSessionClose>},
        reply_case_t{"AttachAck", client::ATTACH_ACK, LeBytes().u32(7).u32(12).str16("alice").u32(77).u32(1700000000),
                     decodes<client::decodeMsgAck>},
        reply_case_t{"MsgRelay", client::MSG_RELAY, kRelayBody, decodes<client::decodeMsgRelay>},
        reply_case_t{"AttachRelay", client::ATTACH_ALARM_RELAY, kAttachBody, decodes<client::decodeAttachAlarmRelay>},
        reply_case_t{"MsgResult", client::MSG_RESULT, kResultBody, decodes<client::decodeMsgResult>}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RepliesTest, JoinReplyCarriesTheMemberListOnlyWithResultsZeroAnd120) {
    auto r = client::decodeJoinReply(packet(client::USER_REJOIN_REPLY, memberListJoinBody(120)));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->hasMemberList);
    EXPECT_EQ(120, r->result);
    EXPECT_EQ((std::vector<client::member_t>{{"alice", "Alice"}, {"bob", "Bob"}}), r->members);
    EXPECT_EQ(client::ROOM_KIND_COUPLE, r->roomKind);
    EXPECT_EQ(2u, r->joinSeq);
    EXPECT_EQ(5u, r->currentMsgNum);

    auto refused = client::decodeJoinReply(packet(client::USER_JOIN_REPLY, LeBytes().u32(7).u16(110)));
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->hasMemberList);
    // A list after a refusal is a fault, not extra information.
    EXPECT_FALSE(client::decodeJoinReply(packet(client::USER_JOIN_REPLY, memberListJoinBody(130))));
}

TEST(RepliesTest, FieldsComeOutOfTheirOwnPositions) {
    auto leave = client::decodeUserLeaveAlarm(packet(client::USER_LEAVE_ALARM, kLeaveBody));
    ASSERT_TRUE(leave);
    EXPECT_EQ(client::LEAVE_ALL_HISTORY, leave->joinSeq);  // signed
    EXPECT_EQ(1, leave->leaveType);

    auto m = client::decodeMsgRelay(packet(client::MSG_RELAY, kRelayBody));
    ASSERT_TRUE(m);
    EXPECT_EQ("hello", m->msg);
    EXPECT_EQ(12u, m->msgNum);
    EXPECT_EQ("fnt", m->font);  // four-byte length, no prefix left in the text
    EXPECT_EQ(77u, m->trid);
    EXPECT_EQ(1, m->msgType);

    auto a = client::decodeAttachAlarmRelay(packet(client::ATTACH_ALARM_RELAY, kAttachBody));
    ASSERT_TRUE(a);
    EXPECT_EQ(77u, a->trid);  // trid before the message number, unlike MSG_RELAY
    EXPECT_EQ(12u, a->msgNum);
    EXPECT_EQ("f.txt", a->fileName);
    EXPECT_EQ(1000u, a->fileSize);
    EXPECT_EQ("http://f", a->url);

    auto r = client::decodeMsgResult(packet(client::MSG_RESULT, kResultBody));
    ASSERT_TRUE(r);
    EXPECT_EQ(3u, r->resultSeq);
    ASSERT_EQ(2u, r->results.size());
    EXPECT_EQ(client::SEND_RESULT_SUCCESS, r->results[0].code);
    EXPECT_EQ("carol", r->results[1].userId);
    EXPECT_EQ(client::SEND_RESULT_NO_SESSION, r->results[1].code);
}

TEST(RepliesTest, RefusalsAreRecognisedByTheirExactBodies) {
    EXPECT_TRUE(client::decodeNotReady(packet(0x8C90, "")));
    EXPECT_FALSE(client::decodeNotReady(packet(0x8C90, "x")));
    auto r = client::decodeInvalidCommand(packet(0x8C11, std::string("\x03\x02", 2)));
    ASSERT_TRUE(r);
    EXPECT_EQ(0x0C11, r->requestCode);
    EXPECT_FALSE(client::decodeInvalidCommand(packet(0x0C11, std::string("\x03\x02", 2))));
    EXPECT_FALSE(client::decodeInvalidCommand(packet(0x8C11, std::string("\x02\x03", 2))));
    EXPECT_FALSE(client::decodeInvalidCommand(packet(0x8C01, LeBytes().u32(515).u16(0))));
}

}  // namespace
