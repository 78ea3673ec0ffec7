#include "tolvex/chat/MsgEventHandler.h"

#include <gtest/gtest.h>

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/ChatSessionDummy.h"
#include "tolvex/util/ChatCodes.h"

namespace {

const std::string S = "s@m.acme";  // the sender, on a PC
const std::string A = "a@m.acme";  // joined on a PC
const std::string B = "b@m.acme";  // invited, never connected
const std::string X = "x@m.acme";  // not a member

// The fields of a MSG request; encode() writes them all, or stops after
// the font when withTrailer is false.
struct msg_req {
    uint32_t roomId = 0;
    std::string fromId = S;
    std::string fromName = "Ess";
    uint16_t fromOsType = OS_TYPE_PC;
    std::string text = "hello";
    std::string font = "Arial";
    uint32_t trid = 77;
    uint32_t msgNumFromClient = 0;
    uint8_t msgType = MSG_TALK;
    bool withTrailer = true;

    std::string encode() const {
        BodyBuilder b;
        b.u32(roomId).str16(fromId).str16(fromName).u16(fromOsType).str16(text);
        b.u32(static_cast<uint32_t>(font.size())).raw(font);
        if (withTrailer) b.u32(trid).u32(msgNumFromClient).u8(msgType);
        return b;
    }
};

// The fields of an ATTACH request. targetCount, when set, is written
// instead of the number of targets; withFile false ends the body after them.
struct attach_req {
    uint32_t roomId = 0;
    std::string fromId = S;
    std::string fromName = "Ess";
    uint16_t fromOsType = OS_TYPE_PC;
    uint32_t trid = 88;
    uint32_t msgNumFromClient = 0;
    uint8_t msgType = MSG_ATTACH;
    std::vector<std::string> targets;
    std::optional<uint16_t> targetCount;
    bool withFile = true;
    std::string fileName = "report.pdf";
    uint32_t fileSize = 1234;
    std::string url = "https://files.example/r";

    std::string encode() const {
        BodyBuilder b;
        b.u32(roomId).str16(fromId).str16(fromName).u16(fromOsType).u32(trid).u32(msgNumFromClient).u8(msgType);
        b.u16(targetCount.value_or(static_cast<uint16_t>(targets.size())));
        for (const std::string& t : targets) b.str16(t);
        if (withFile) b.str16(fileName).u32(fileSize).str16(url);
        return b;
    }
};

struct relay_t {
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = 0;
    uint32_t msgTime = 0;
    std::string text;
    uint32_t msgNum = 0;
    std::string font;
    uint32_t trid = 0;
    uint8_t msgType = 0;
};

relay_t readRelay(const pbytes::Received& p) {
    EXPECT_EQ(MSG_RELAY, p.code);
    BodyReader r(p.body);
    relay_t m;
    m.roomId = r.u32();
    m.fromId = r.str16();
    m.fromName = r.str16();
    m.fromOsType = r.u16();
    m.msgTime = r.u32();
    m.text = r.str16();
    m.msgNum = r.u32();
    const uint32_t fontLen = r.u32();
    for (uint32_t i = 0; i < fontLen; ++i) m.font += static_cast<char>(r.u8());
    m.trid = r.u32();
    m.msgType = r.u8();
    EXPECT_EQ(0u, r.remaining());
    return m;
}

}  // namespace

// A room of S (creator, PC), A (joined, PC) and B (invited, offline). Every
// peer's inbox is empty when a test starts.
class MsgEventHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        AckManager::getInstance().clearAll();
        m_room = freshRoomId();
        m_sender = &openRoom(m_room, S, {{A, "Ay"}, {B, "Bee"}});
        m_a = &member(A, OS_TYPE_PC);
    }

    // A new connection of userId that joins the room; everybody's notices
    // about it are dropped.
    ChatPeer& member(const std::string& userId, uint16_t osType) {
        ChatPeer& peer = connect();
        const pbytes::Received reply = joinAs(peer, USER_JOIN, m_room, userId, osType);
        EXPECT_EQ(USER_JOIN | kResponseBit, reply.code);
        m_members.push_back(&peer);
        for (ChatPeer* p : m_members) arrived(*p).clear();
        arrived(*m_sender).clear();
        return peer;
    }

    uint32_t nextMsgNum() { return RoomManager::getInst().getCurrentMsgNumber(m_room, S) + 1; }

    msg_req message() const {
        msg_req m;
        m.roomId = m_room;
        return m;
    }
    attach_req attachment(std::vector<std::string> targets) const {
        attach_req a;
        a.roomId = m_room;
        a.targets = std::move(targets);
        return a;
    }

    // Sends and waits for the sender's ACK, which it returns.
    pbytes::Received sendAndAck(uint16_t code, const std::string& body, uint32_t headerTrid = 7) {
        m_sender->send(code, body, 0, headerTrid);
        if (!waitPackets(*m_sender, 1)) return {};
        return m_sender->take();
    }

    static std::string ackBody(uint32_t roomId, uint32_t msgNum, const std::string& fromId, uint32_t trid,
                               uint32_t msgTime) {
        return BodyBuilder().u32(roomId).u32(msgNum).str16(fromId).u32(trid).u32(msgTime);
    }
    static uint32_t ackTime(const pbytes::Received& ack) { return pbytes::u32At(ack.body, ack.body.size() - 4); }

    // The OS types still awaited from userId for message msgNum.
    std::list<uint16_t> awaited(uint32_t msgNum, const std::string& userId) {
        auto detail = AckManager::getInstance().getSendMsgDetail(m_room, S, msgNum);
        if (!detail) return {};
        auto it = detail->getUserList().find(userId);
        return it == detail->getUserList().end() ? std::list<uint16_t>() : it->second;
    }

    std::string statLine(const char* dir, uint32_t msgNum, const std::string& rest) const {
        return std::string("S:") + dir + ":" + std::to_string(m_room) + ":" + std::to_string(msgNum) + ":" + rest;
    }

    uint32_t m_room = 0;
    ChatPeer* m_sender = nullptr;
    ChatPeer* m_a = nullptr;
    std::vector<ChatPeer*> m_members;
};

// ---- text message ----

TEST_F(MsgEventHandlerTest, MessageIsSavedWithoutFileFields) {
    const uint32_t num = nextMsgNum();
    sendAndAck(MSG, message().encode());

    const FakeWas::Request r = wasRequestWith(kSaveMsgPage, "msg_seq", std::to_string(num));
    EXPECT_EQ(std::to_string(m_room), r.field("room_id"));
    EXPECT_EQ(S, r.field("send_user_id"));
    EXPECT_EQ("Ess", r.field("send_user_nick_name"));
    EXPECT_EQ(std::to_string(num), r.field("msg_seq"));
    EXPECT_EQ("1", r.field("msg_type"));
    EXPECT_EQ("5", r.field("data_size"));
    EXPECT_EQ("3", r.field("member_count"));
    EXPECT_EQ("77", r.field("trid"));
    EXPECT_EQ("1", r.field("os_type"));
    EXPECT_EQ("", r.field("file_name"));
    EXPECT_EQ("0", r.field("file_size"));
    EXPECT_EQ("", r.field("file_url"));
}

struct overlong_t {
    const char* tag;
    size_t idLen, nameLen, textLen, fontLen;
};

class MsgOverlongFieldTest : public MsgEventHandlerTest, public ::testing::WithParamInterface<overlong_t> {};

TEST_P(MsgOverlongFieldTest, ClosesTheSenderWithoutAnAckOrRelay) {
    const overlong_t& o = GetParam();
    msg_req m = message();
    m.fromId = std::string(o.idLen, 's');
    m.fromName = std::string(o.nameLen, 'n');
    m.text = std::string(o.textLen, 't');
    m.font = std::string(o.fontLen, 'f');
    m_sender->send(MSG, m.encode());

    ASSERT_TRUE(waitClosed(*m_sender));
    EXPECT_TRUE(m_sender->inbox().empty());
    EXPECT_TRUE(arrived(*m_a).empty());
    EXPECT_NE(std::string::npos, commandLog().find(std::string("HACK !!!!!!!!!!!!!!! Input ") + o.tag + " length"));
}

INSTANTIATE_TEST_SUITE_P(Fields, MsgOverlongFieldTest,
                         ::testing::Values(overlong_t{"FROM_ID", 257, 3, 5, 5}, overlong_t{"FROM_NAME", 8, 257, 5, 5},
                                           overlong_t{"MSG", 8, 3, 8193, 5}, overlong_t{"FONT", 8, 3, 5, 10001}));

TEST_F(MsgEventHandlerTest, LongestTextAndFontAreRelayedWhole) {
    msg_req m = message();
    m.text = std::string(8192, 't');
    m.font = std::string(10000, 'f');
    sendAndAck(MSG, m.encode());

    ASSERT_TRUE(waitPackets(*m_a, 1));
    const relay_t relay = readRelay(m_a->take());
    EXPECT_EQ(m.text, relay.text);
    EXPECT_EQ(m.font, relay.font);
}

TEST_F(MsgEventHandlerTest, TextWhoseBytesAreMissingIsRelayedEmpty) {
    // The text announces 100 bytes and the body ends after 3 of them.
    const std::string body = BodyBuilder().u32(m_room).str16(S).str16("Ess").u16(OS_TYPE_PC).u16(100).raw("abc");
    EXPECT_EQ(MSG_ACK, sendAndAck(MSG, body).code);

    ASSERT_EQ(1u, arrived(*m_a).size());
    const relay_t relay = readRelay(m_a->take());
    EXPECT_EQ("", relay.text);
    EXPECT_EQ("", relay.font);
}

// ---- relay ACK registration, push, failures ----

TEST_F(MsgEventHandlerTest, PcMemberIsAwaitedOnItsPcAndByPushOfflineMemberByPushOnly) {
    const uint32_t num = nextMsgNum();
    sendAndAck(MSG, message().encode());

    EXPECT_EQ((std::list<uint16_t>{OS_TYPE_PC, OS_TYPE_MOBILE}), awaited(num, A));
    EXPECT_EQ((std::list<uint16_t>{OS_TYPE_MOBILE}), awaited(num, B));
    EXPECT_TRUE(awaited(num, S).empty()) << "the sender owes no ACK";
}

TEST_F(MsgEventHandlerTest, MemberWhoLastSentFromAPcIsNotPushed) {
    // A speaks from its PC, so it reads there.
    m_a->send(MSG, [&] { msg_req m = message(); m.fromId = A; return m.encode(); }());
    ASSERT_TRUE(waitPackets(*m_a, 1));
    arrived(*m_sender).clear();
    arrived(*m_a).clear();

    sendAndAck(MSG, message().encode());
    const FakeWas::Request push = wasRequestWith(kMobilePushPage, "senderId", S);
    EXPECT_EQ(B, push.field("userid"));
    EXPECT_EQ(0u, RoomManager::getInst().getPushAlarmCount(m_room, A));
}

TEST_F(MsgEventHandlerTest, MemberNoSessionTookIsReinvited) {
    m_a->session()->setIsDeadAlive(true);
    sendAndAck(MSG, message().encode());

    EXPECT_TRUE(arrived(*m_a).empty());
    bool invited = false;
    EXPECT_TRUE(runUntil([&] {
        for (const FakeWas::Request& r : m_was.requestsTo(kInviteRequestPage))
            invited = invited || (r.field("from_id") == S && r.field("to_id") == A);
        return invited;
    }));
}

// ---- resend ----

TEST_F(MsgEventHandlerTest, ResendIsNotSavedAgain) {
    msg_req m = message();
    m.msgNumFromClient = 42;
    sendAndAck(MSG, m.encode());
    ASSERT_EQ(1u, wasRequests(kSendFailUserPage).size());
    EXPECT_TRUE(jobsSettled());
    for (const FakeWas::Request& r : m_was.requestsTo(kSaveMsgPage))
        EXPECT_NE("42", r.field("msg_seq"));
    EXPECT_TRUE(arrived(*m_a).empty()) << "the WAS listed nobody";
}

TEST_F(MsgEventHandlerTest, ResendRelaysOnlyToTheListedActiveMembers) {
    ChatPeer& ownMobile = member(S, OS_TYPE_MOBILE);
    msg_info msg;
    msg.roomId = m_room;
    setMsgText(msg.fromId, msg.fromIdLen, S);
    setMsgText(msg.msg, msg.msgLen, "again");
    msg.fromOsType = OS_TYPE_PC;
    msg.msgNum = 42;
    msg.trid = 99;
    msg.msgType = MSG_ATTACH;  // a resent notice goes out as a message relay
    ChatSessionDummy* dummy = ChatSessionDummy::create(msg);
    dummy->setProfile(S, "Ess", m_room, OS_TYPE_PC);

    MsgEventHandler::resendMsgProcess(dummy, {X, A, B});
    dummy->setExpired();

    ASSERT_EQ(1u, arrived(*m_a).size());
    const pbytes::Received p = m_a->take();
    EXPECT_EQ(99u, p.trid) << "the header trid is the body trid";
    const relay_t relay = readRelay(p);
    EXPECT_EQ(42u, relay.msgNum);
    EXPECT_EQ("again", relay.text);
    EXPECT_TRUE(arrived(*m_sender).empty());
    EXPECT_TRUE(arrived(ownMobile).empty()) << "the sender was not listed";
    EXPECT_EQ((std::list<uint16_t>{OS_TYPE_MOBILE}), awaited(42, B));
}

TEST_F(MsgEventHandlerTest, ResendGoesToTheMembersTheWasListsOnceItAnswers) {
    m_was.setReply(kSendFailUserPage,
                   {200, FakeWas::resultHeader(0) + "<list><send_fail_info room_id=\"" + std::to_string(m_room) +
                             "\" msg_num=\"42\" trid=\"77\" fail_user_id=\"" + A + "\"/></list>"});
    msg_req m = message();
    m.msgNumFromClient = 42;
    sendAndAck(MSG, m.encode());

    ASSERT_TRUE(waitPackets(*m_a, 1));
    const relay_t relay = readRelay(m_a->take());
    EXPECT_EQ(42u, relay.msgNum);
    EXPECT_EQ("hello", relay.text);
    EXPECT_TRUE(arrived(*m_sender).empty()) << "the sender was not listed";
}

// ---- attachment notice ----

TEST_F(MsgEventHandlerTest, AttachmentWithFewerIdsThanAnnouncedUsesThoseThere) {
    ChatPeer& bMobile = member(B, OS_TYPE_MOBILE);
    attach_req a = attachment({A, B});
    a.targetCount = 3;
    a.withFile = false;
    sendAndAck(ATTACH, a.encode());

    EXPECT_EQ(1u, arrived(*m_a).size());
    EXPECT_EQ(1u, arrived(bMobile).size());
}

TEST_F(MsgEventHandlerTest, AttachmentResendIsAcknowledgedAndOnlyAsksTheWas) {
    attach_req a = attachment({A});
    a.msgNumFromClient = 42;
    const pbytes::Received ack = sendAndAck(ATTACH, a.encode());
    EXPECT_EQ(ackBody(m_room, 42, S, 88, ackTime(ack)), ack.body);
    EXPECT_TRUE(arrived(*m_a).empty());
    EXPECT_NE(std::string::npos, chatLog().find(statLine(">>", 42, "ATTACH:" + S + ":PC:SUCC:ATTACH_RESEND,42,5\n")));
    const std::vector<FakeWas::Request> asked = wasRequests(kSendFailUserPage);
    ASSERT_EQ(1u, asked.size());
    EXPECT_EQ("42", asked[0].field("msg_num"));
}

TEST_F(MsgEventHandlerTest, FileNameAndUrlOfTheLargestLegalLengthAreRelayed) {
    attach_req a = attachment({A});
    a.fileName = std::string(2048, 'n');
    a.url = std::string(4096, 'u');
    sendAndAck(ATTACH, a.encode());

    ASSERT_EQ(1u, arrived(*m_a).size());
    BodyReader r(m_a->take().body);
    // room, sender, name, device, time, trid, number, type
    r.u32();
    r.str16();
    r.str16();
    r.u16();
    r.u32();
    r.u32();
    r.u32();
    r.u8();
    EXPECT_EQ(a.fileName, r.str16());
    EXPECT_EQ(1234u, r.u32());
    EXPECT_EQ(a.url, r.str16());
}

struct attach_overlong_t {
    const char* tag;
    size_t targetLen, fileNameLen, urlLen;
};

class AttachOverlongFieldTest : public MsgEventHandlerTest,
                                public ::testing::WithParamInterface<attach_overlong_t> {};

TEST_P(AttachOverlongFieldTest, ClosesTheSenderWithoutAnAckOrNotice) {
    const attach_overlong_t& o = GetParam();
    attach_req a = attachment({A, std::string(o.targetLen, 't')});
    a.fileName = std::string(o.fileNameLen, 'n');
    a.url = std::string(o.urlLen, 'u');
    m_sender->send(ATTACH, a.encode());

    ASSERT_TRUE(waitClosed(*m_sender));
    EXPECT_TRUE(m_sender->inbox().empty());
    EXPECT_TRUE(arrived(*m_a).empty());
    EXPECT_NE(std::string::npos, commandLog().find(std::string("HACK !!!!!!!!!!!!!!! Input ") + o.tag + " length"));
}

INSTANTIATE_TEST_SUITE_P(Fields, AttachOverlongFieldTest,
                         ::testing::Values(attach_overlong_t{"ATTATCH_USER_ID", 257, 10, 10},
                                           attach_overlong_t{"FILE_NAME", 8, 2049, 10},
                                           attach_overlong_t{"URL", 8, 10, 4097}));
