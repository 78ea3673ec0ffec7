// Messages and attachment notices through real sessions: what is relayed to
// whom, what is saved and resent, and the field limits.

#include "tolvex/chat/MsgEventHandler.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/Replies.h"
#include "support/chat/ChatRoomFixture.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/ChatSessionDummy.h"

namespace {

const std::string S = "s@m.acme";  // the sender, on a PC
const std::string A = "a@m.acme";  // joined on a PC
const std::string B = "b@m.acme";  // invited, never connected
const std::string X = "x@m.acme";  // not a member

}  // namespace

// A room of S (creator, PC), A (joined, PC) and B (invited, offline). Every
// peer's inbox is empty when a test starts.
class MsgEventHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
        m_sender = &openRoom(m_room, S, {{A, "Ay"}, {B, "Bee"}});
        m_a = &joined(m_room, A, OS_TYPE_PC, {m_sender});
    }

    client::MsgRequest message() const {
        return client::MsgRequest{m_room, S, "Ess", OS_TYPE_PC, "hello", "Arial", 77, 0, MSG_TALK};
    }
    client::AttachRequest attachment(std::vector<std::string> targets) const {
        client::AttachRequest a;
        a.roomId = m_room;
        a.fromId = S;
        a.fromName = "Ess";
        a.trid = 88;
        a.targets = std::move(targets);
        a.fileName = "report.pdf";
        a.fileSize = 1234;
        a.url = "https://files.example/r";
        return a;
    }

    // Sends and waits for the sender's ACK, which it returns.
    client::Packet sendAndAck(uint16_t code, const std::string& body) {
        m_sender->send(code, body);
        if (!waitPackets(*m_sender, 1)) return {};
        return m_sender->take();
    }
    client::MsgRelay relayTo(ChatPeer& peer) {
        EXPECT_TRUE(waitPackets(peer, 1));
        if (peer.inbox().empty()) return {};
        const auto relay = client::decodeMsgRelay(peer.take());
        EXPECT_TRUE(relay) << "not a whole MSG_RELAY";
        return relay.value_or(client::MsgRelay{});
    }

    uint32_t m_room = 0;
    ChatPeer* m_sender = nullptr;
    ChatPeer* m_a = nullptr;
};

// ---- text message ----

TEST_F(MsgEventHandlerTest, LongestTextAndFontAreRelayedWhole) {
    client::MsgRequest m = message();
    m.msg = std::string(8192, 't');
    m.font = std::string(10000, 'f');
    sendAndAck(MSG, client::encode(m));

    const client::MsgRelay relay = relayTo(*m_a);
    EXPECT_EQ(m.msg, relay.msg);
    EXPECT_EQ(m.font, relay.font);
}

TEST_F(MsgEventHandlerTest, TextWhoseBytesAreMissingIsRelayedEmpty) {
    // The text announces 100 bytes and the body ends after 3 of them.
    client::MsgRequest m = message();
    m.msg = std::string(100, 't');
    const std::string body = client::encode(m).substr(0, 4 + 2 + S.size() + 2 + 3 + 2 + 2 + 3);
    EXPECT_EQ(MSG_ACK, sendAndAck(MSG, body).code);

    const client::MsgRelay relay = relayTo(*m_a);
    EXPECT_EQ("", relay.msg);
    EXPECT_EQ("", relay.font);
}

// ---- resend ----

TEST_F(MsgEventHandlerTest, ResendRelaysOnlyToTheListedActiveMembers) {
    ChatPeer& ownMobile = joined(m_room, S, OS_TYPE_MOBILE, {m_sender, m_a});
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

    MsgEventHandler::resendMsgProcess(dummy, {X, A, B, A});
    dummy->setExpired();

    ASSERT_EQ(1u, arrived(*m_a).size()) << "listed twice, relayed once";
    EXPECT_EQ(99u, m_a->inbox().front().trid) << "the header trid is the body trid";
    const client::MsgRelay relay = relayTo(*m_a);
    EXPECT_EQ(42u, relay.msgNum);
    EXPECT_EQ("again", relay.msg);
    EXPECT_TRUE(arrived(*m_sender).empty());
    EXPECT_TRUE(arrived(ownMobile).empty()) << "the sender was not listed";
}

TEST_F(MsgEventHandlerTest, ResendIsNotSavedAgainAndGoesToTheMembersTheWasLists) {
    m_was.setReply(kSendFailUserPage,
                   {200, FakeWas::resultHeader(0) + "<list><send_fail_info room_id=\"" + std::to_string(m_room) +
                             "\" msg_num=\"42\" trid=\"77\" fail_user_id=\"" + A + "\"/></list>"});
    client::MsgRequest m = message();
    m.msgNumFromClient = 42;
    sendAndAck(MSG, client::encode(m));

    const client::MsgRelay relay = relayTo(*m_a);
    EXPECT_EQ(42u, relay.msgNum);
    EXPECT_EQ("hello", relay.msg);
    EXPECT_TRUE(arrived(*m_sender).empty()) << "the sender was not listed";
    EXPECT_EQ(1u, wasRequests(kSendFailUserPage).size());
    for (const FakeWas::Request& r : m_was.requestsTo(kSaveMsgPage)) EXPECT_NE("42", r.field("msg_seq"));
}

// ---- attachment notice ----

TEST_F(MsgEventHandlerTest, AttachmentWithFewerIdsThanAnnouncedUsesThoseThere) {
    ChatPeer& bMobile = joined(m_room, B, OS_TYPE_MOBILE, {m_sender, m_a});
    client::AttachRequest a = attachment({A, B});
    a.declaredTargetCount = 3;
    const std::string body = client::encode(a);
    sendAndAck(ATTACH, body.substr(0, body.size() - (2 + a.fileName.size() + 4 + 2 + a.url.size())));

    EXPECT_EQ(1u, arrived(*m_a).size());
    EXPECT_EQ(1u, arrived(bMobile).size());
}

TEST_F(MsgEventHandlerTest, FileNameAndUrlOfTheLargestLegalLengthAreRelayed) {
    client::AttachRequest a = attachment({A});
    a.fileName = std::string(2048, 'n');
    a.url = std::string(4096, 'u');
    sendAndAck(ATTACH, client::encode(a));

    ASSERT_EQ(1u, arrived(*m_a).size());
    const auto notice = client::decodeAttachAlarmRelay(m_a->take());
    ASSERT_TRUE(notice);
    EXPECT_EQ(a.fileName, notice->fileName);
    EXPECT_EQ(1234u, notice->fileSize);
    EXPECT_EQ(a.url, notice->url);
}

// Every length limit of the two requests, one byte past it.
struct overlong_t {
    const char* tag;
    uint16_t code;
    std::function<void(client::MsgRequest&, client::AttachRequest&)> stretch;
};

class OverlongFieldTest : public MsgEventHandlerTest, public ::testing::WithParamInterface<overlong_t> {};

TEST_P(OverlongFieldTest, ClosesTheSenderWithoutAnAckOrRelay) {
    client::MsgRequest m = message();
    client::AttachRequest a = attachment({A});
    GetParam().stretch(m, a);
    m_sender->send(GetParam().code, GetParam().code == MSG ? client::encode(m) : client::encode(a));

    ASSERT_TRUE(waitClosed(*m_sender));
    EXPECT_TRUE(m_sender->inbox().empty());
    EXPECT_TRUE(arrived(*m_a).empty());
    EXPECT_NE(std::string::npos,
              commandLog().find(std::string("HACK !!!!!!!!!!!!!!! Input ") + GetParam().tag + " length"));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, OverlongFieldTest,
    ::testing::Values(
        overlong_t{"FROM_ID", MSG, [](auto& m, auto&) { m.fromId.assign(257, 's'); }},
        overlong_t{"FROM_NAME", MSG, [](auto& m, auto&) { m.fromName.assign(257, 'n'); }},
        overlong_t{"MSG", MSG, [](auto& m, auto&) { m.msg.assign(8193, 't'); }},
        overlong_t{"FONT", MSG, [](auto& m, auto&) { m.font.assign(10001, 'f'); }},
        overlong_t{"ATTATCH_USER_ID", ATTACH, [](auto&, auto& a) { a.targets.push_back(std::string(257, 't')); }},
        overlong_t{"FILE_NAME", ATTACH, [](auto&, auto& a) { a.fileName.assign(2049, 'n'); }},
        overlong_t{"URL", ATTACH, [](auto&, auto& a) { a.url.assign(4097, 'u'); }}),
    [](const auto& info) { return std::string(info.param.tag); });
