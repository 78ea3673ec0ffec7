// Messages, attachment notices and typing notices against the real daemon,
// byte for byte where the daemon's bytes are fixed.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ChatLoopback.h"
#include "support/Process.h"
#include "tools/client/LeBytes.h"

namespace {

constexpr uint32_t kRoom = 100;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";
const std::string kDave = "dave@corp.example.com";  // never a member

class MessageFlowTest : public ChatLoopbackTest {
protected:
    // alice (PC) opens the room with bob and carol; bob joins on his PC.
    // Message numbers 2 and 3 go to the invitations, 4 to bob's join, so the
    // first message is number 5.
    void SetUp() override {
        ChatLoopbackTest::SetUp();
        m_alice = &openRoom(kRoom, kAlice, {kBob, kCarol});
        m_bob = &joinAs(kRoom, kBob, client::OS_TYPE_PC);
    }


    static client::MsgRequest message(const std::string& from = kAlice) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = from;
        m.fromName = nameOf(from);
        m.msg = "hello, bob";
        m.font = "Gulim 10";
        m.trid = 1001;
        return m;
    }

    static client::AttachRequest attachment(std::vector<std::string> targets) {
        client::AttachRequest a;
        a.roomId = kRoom;
        a.fromId = kAlice;
        a.fromName = nameOf(kAlice);
        a.trid = 2002;
        a.targets = std::move(targets);
        a.fileName = "minutes.docx";
        a.fileSize = 48213;
        a.url = "https://files.example.com/m/7";
        return a;
    }

    static std::string ackBody(uint32_t msgNum, const std::string& fromId, uint32_t trid, uint32_t msgTime) {
        return LeBytes().u32(kRoom).u32(msgNum).str16(fromId).u32(trid).u32(msgTime);
    }

    static std::string relayBody(const client::MsgRequest& m, uint32_t msgTime, uint32_t msgNum) {
        return LeBytes()
            .u32(kRoom).str16(m.fromId).str16(m.fromName).u16(m.fromOsType).u32(msgTime).str16(m.msg)
            .u32(msgNum).u32(static_cast<uint32_t>(m.font.size())).text(m.font).u32(m.trid).u8(m.msgType);
    }

    // The sender's ACK, checked byte for byte against the request; its time
    // goes to *msgTime.
    void expectAck(Client& sender, uint16_t code, uint32_t msgNum, const std::string& fromId, uint32_t trid,
                   uint32_t* msgTime) {
        auto ack = sender.waitFor(code);
        ASSERT_TRUE(ack) << "no ACK " << code;
        auto decoded = client::decodeMsgAck(*ack);
        ASSERT_TRUE(decoded) << client::describe(*ack);
        EXPECT_NE(0u, decoded->msgTime);
        *msgTime = decoded->msgTime;
        // A reply to a header of the daemon's own: trid 0, in clear.
        EXPECT_WIRE(client::encodePacket(code, ackBody(msgNum, fromId, trid, decoded->msgTime)), *ack);
    }

    Client* m_alice = nullptr;
    Client* m_bob = nullptr;
};

TEST_F(MessageFlowTest, MessageIsAcknowledgedToTheSenderAndRelayedToTheMember) {
    const client::MsgRequest m = message();
    ASSERT_TRUE(m_alice->sendMsg(m));
    const uint32_t headerTrid = m_alice->lastTrid();
    uint32_t msgTime = 0;
    expectAck(*m_alice, client::MSG_ACK, 5, kAlice, m.trid, &msgTime);

    auto relay = m_bob->waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    client::packet_options_t opts;
    opts.trid = headerTrid;  // the sender's header trid travels with the relay
    EXPECT_WIRE(client::encodePacket(client::MSG_RELAY, relayBody(m, msgTime, 5), opts), *relay);
    expectQuiet(*m_alice, "alice");
    expectQuiet(*m_bob, "bob");

    EXPECT_TRUE(m_daemon.waitForChatLog("S:>>:100:5:MSG:" + kAlice + ":PC:SUCC:1")) << m_daemon.chatLog();
    EXPECT_TRUE(m_daemon.waitForChatLog("S:<<:100:5:MSG_ACK:" + kAlice + ":PC:SUCC:3")) << m_daemon.chatLog();
    EXPECT_TRUE(m_daemon.waitForChatLog("S:<<:100:5:MSG_RELAY:" + kBob + ":PC:SUCC:")) << m_daemon.chatLog();
}

TEST_F(MessageFlowTest, MessageIsSavedAndTheMembersOffMobileArePushed) {
    ASSERT_TRUE(m_alice->sendMsg(message()));
    ASSERT_TRUE(m_alice->waitFor(client::MSG_ACK));

    const FakeWas::Request saved =
        wasRequestMatching(m_daemon.was(), DaemonHarness::kSaveMsgPage,
                           [](const FakeWas::Request& r) { return r.field("msg_seq") == "5"; });
    EXPECT_EQ("100", saved.field("room_id"));
    EXPECT_EQ(kAlice, saved.field("send_user_id"));
    EXPECT_EQ(nameOf(kAlice), saved.field("send_user_nick_name"));
    EXPECT_EQ("1", saved.field("msg_type"));
    // Neither bob (joined on a PC, never sent) nor carol (offline) has a
    // mobile session: one request names both.
    const FakeWas::Request push =
        wasRequestMatching(m_daemon.was(), DaemonHarness::kMobilePushPage,
                           [](const FakeWas::Request& r) { return r.field("msgSeq") == "5"; });
    EXPECT_EQ(kBob + "," + kCarol, push.field("userid"));
    EXPECT_EQ(kAlice, push.field("senderId"));
}

TEST_F(MessageFlowTest, SenderIdOf256BytesIsAcknowledged) {
    client::MsgRequest m = message(std::string(256 - 17, 'a') + "@corp.example.com");
    ASSERT_TRUE(m_alice->sendMsg(m));
    uint32_t msgTime = 0;
    // Same tenant, so the same room and its next number.
    expectAck(*m_alice, client::MSG_ACK, 5, m.fromId, m.trid, &msgTime);
    auto relay = m_bob->waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_EQ(m.fromId, client::decodeMsgRelay(*relay)->fromId);
}

TEST_F(MessageFlowTest, BodyEndingAfterTheFontIsRelayedWithTridZeroAndTypeOne) {
    client::MsgRequest m = message();
    const std::string full = client::encode(m);
    // trid (4), number (4) and type (1) left out.
    ASSERT_TRUE(m_alice->send(client::MSG, full.substr(0, full.size() - 9)));
    uint32_t msgTime = 0;
    expectAck(*m_alice, client::MSG_ACK, 5, kAlice, 0, &msgTime);

    auto relay = m_bob->waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    auto decoded = client::decodeMsgRelay(*relay);
    ASSERT_TRUE(decoded) << client::describe(*relay);
    EXPECT_EQ(5u, decoded->msgNum);
    EXPECT_EQ(0u, decoded->trid);
    EXPECT_EQ(client::MSG_TALK, decoded->msgType);
    EXPECT_EQ(m.font, decoded->font);
}

TEST_F(MessageFlowTest, SendersOwnOtherDeviceReceivesTheRelay) {
    Client& aliceMobile = joinAs(kRoom, kAlice, client::OS_TYPE_MOBILE);
    ASSERT_TRUE(m_alice->sendMsg(message()));
    ASSERT_TRUE(m_alice->waitFor(client::MSG_ACK));

    auto relay = aliceMobile.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_EQ(kAlice, client::decodeMsgRelay(*relay)->fromId);
    ASSERT_TRUE(m_bob->waitFor(client::MSG_RELAY));
    expectQuiet(*m_alice, "alice's sending PC");
}

TEST_F(MessageFlowTest, TypingIsRelayedUnchangedAndNotAnswered) {
    Client& carol = joinAs(kRoom, kCarol, client::OS_TYPE_MOBILE);
    const client::TypingRequest typing{kRoom, kAlice, 1};
    ASSERT_TRUE(m_alice->sendTyping(typing));

    for (Client* member : {m_bob, &carol}) {
        auto alarm = member->waitFor(client::TYPING_ALARM);
        ASSERT_TRUE(alarm);
        EXPECT_WIRE(client::encodePacket(client::TYPING_ALARM, client::encode(typing)), *alarm);
    }
    expectQuiet(*m_alice, "alice");
    EXPECT_EQ(std::string::npos, m_daemon.chatLog().find("TYPING"));
}

TEST_F(MessageFlowTest, AttachmentGoesOnlyToTheListedTargetsWhoAreActiveMembers) {
    Client& carol = joinAs(kRoom, kCarol, client::OS_TYPE_PC);  // a member, not listed
    const client::AttachRequest a = attachment({kDave, kBob});
    ASSERT_TRUE(m_alice->sendAttach(a));
    const uint32_t headerTrid = m_alice->lastTrid();
    uint32_t msgTime = 0;
    // carol's join took number 5.
    expectAck(*m_alice, client::ATTACH_ACK, 6, kAlice, a.trid, &msgTime);

    auto relay = m_bob->waitFor(client::ATTACH_ALARM_RELAY);
    ASSERT_TRUE(relay);
    const std::string body = LeBytes()
                                 .u32(kRoom).str16(kAlice).str16(nameOf(kAlice)).u16(client::OS_TYPE_PC).u32(msgTime)
                                 .u32(a.trid).u32(6).u8(client::MSG_ATTACH)
                                 .str16(a.fileName).u32(a.fileSize).str16(a.url);
    client::packet_options_t opts;
    opts.trid = headerTrid;
    EXPECT_WIRE(client::encodePacket(client::ATTACH_ALARM_RELAY, body, opts), *relay);
    expectQuiet(carol, "carol");
    expectQuiet(*m_alice, "alice");
    EXPECT_TRUE(m_daemon.waitForChatLog("S:>>:100:6:ATTACH:" + kAlice + ":PC:SUCC:,5")) << m_daemon.chatLog();
    const FakeWas::Request saved =
        wasRequestMatching(m_daemon.was(), DaemonHarness::kSaveMsgPage,
                           [](const FakeWas::Request& r) { return r.field("msg_seq") == "6"; });
    EXPECT_EQ("minutes.docx", saved.field("file_name"));
    EXPECT_EQ("48213", saved.field("file_size"));
    EXPECT_EQ("https://files.example.com/m/7", saved.field("file_url"));
}

TEST_F(MessageFlowTest, ResendIsAcknowledgedWithTheClientsNumberAndRelayedToNobodyYet) {
    client::MsgRequest m = message();
    m.msgNumFromClient = 42;
    ASSERT_TRUE(m_alice->sendMsg(m));
    uint32_t msgTime = 0;
    expectAck(*m_alice, client::MSG_ACK, 42, kAlice, m.trid, &msgTime);
    expectQuiet(*m_bob, "bob");

    // The WAS is asked who missed it; only its answer brings a relay.
    const FakeWas::Request asked =
        wasRequestMatching(m_daemon.was(), DaemonHarness::kSendFailUserPage,
                           [](const FakeWas::Request& r) { return r.field("msg_num") == "42"; });
    EXPECT_EQ("room_id=100&msg_num=42&tenant_id=example.com", asked.body);
    EXPECT_TRUE(m_daemon.waitForChatLog("S:>>:100:42:MSG:" + kAlice + ":PC:SUCC:MSG_RESEND,42,1"));
}

// One WAS request in flight at a time: while the WAS sits on the first save,
// the saves of the messages after it wait in the daemon, and they go out in
// order once the first one has ended.
class WasRequestLimitTest : public ChatLoopbackTest {
protected:
    WasRequestLimitTest() : ChatLoopbackTest(options()) {}
    static DaemonHarness::Options options() {
        DaemonHarness::Options o;
        o.extraCommon = "<was_max_requests>1</was_max_requests>";
        o.wasTimeoutSec = 3;  // the first save stays out for the whole hold below
        return o;
    }
};

TEST_F(WasRequestLimitTest, SavesWaitForTheOneInFlightAndThenGoOutInOrder) {
    m_daemon.was().neverAnswer(DaemonHarness::kSaveMsgPage);
    Client& alice = openRoom(kRoom, kAlice, {kBob});
    std::vector<uint32_t> sent;
    for (int i = 0; i < 3; ++i) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = kAlice;
        m.fromName = nameOf(kAlice);
        m.msg = "queued " + std::to_string(i);
        m.trid = 300 + i;
        ASSERT_TRUE(alice.sendMsg(m));
        auto ack = alice.waitFor(client::MSG_ACK);
        ASSERT_TRUE(ack);
        sent.push_back(client::decodeMsgAck(*ack)->msgNum);
    }
    // Served at once, persisted one by one: the invitation's save is still out.
    auto queuedSaves = [&] {
        std::vector<std::string> seqs;
        for (const FakeWas::Request& r : m_daemon.was().requestsTo(DaemonHarness::kSaveMsgPage))
            if (r.field("msg").rfind("queued ", 0) == 0) seqs.push_back(r.field("msg_seq"));
        return seqs;
    };
    ASSERT_TRUE(waitFor([&] { return !m_daemon.was().requestsTo(DaemonHarness::kSaveMsgPage).empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(queuedSaves().empty());

    // The silent save times out and is retried; this time the WAS answers.
    m_daemon.was().setReply(DaemonHarness::kSaveMsgPage, FakeWas::Reply{});
    std::vector<std::string> order;
    ASSERT_TRUE(waitFor([&] {
        order = queuedSaves();
        return order.size() == 3;
    }, 15000)) << m_daemon.was().requestCount() << " requests";
    EXPECT_EQ((std::vector<std::string>{std::to_string(sent[0]), std::to_string(sent[1]), std::to_string(sent[2])}),
              order);
}

// A member whose connection stops reading is cut off once the output queued
// for it passes send_buffer_max, with one log line; the others in the room
// keep getting every message.
class SlowReceiverTest : public ChatLoopbackTest {
protected:
    SlowReceiverTest() : ChatLoopbackTest(options()) {}
    static DaemonHarness::Options options() {
        DaemonHarness::Options o;
        o.extraCommon = "<send_buffer_max>65536</send_buffer_max>";
        return o;
    }
};

TEST_F(SlowReceiverTest, AReceiverThatStopsReadingIsClosedAtTheLimitAndTheOthersKeepReceiving) {
    Client& alice = openRoom(kRoom, kAlice, {kBob, kCarol});
    Client& bob = joinAs(kRoom, kBob, client::OS_TYPE_PC);
    Client& carol = joinAs(kRoom, kCarol, client::OS_TYPE_PC);  // reads nothing from here on
    const std::string cutOff = "send_buffer_max reached: userid=" + kCarol + ", room_id=100, osType=1, ";
    client::MsgRequest m;
    m.roomId = kRoom;
    m.fromId = kAlice;
    m.fromName = nameOf(kAlice);
    m.msg = std::string(8000, 'm');
    int sent = 0;
    // Carol's kernel buffers take a few megabytes before the daemon queues.
    for (; sent < 3000 && (sent % 25 != 0 || m_daemon.countInCommandLog(cutOff) == 0); ++sent) {
        m.trid = static_cast<uint32_t>(sent);
        ASSERT_TRUE(alice.sendMsg(m));
        ASSERT_TRUE(alice.waitFor(client::MSG_ACK)) << "message " << sent;
        ASSERT_TRUE(bob.waitFor(client::MSG_RELAY)) << "bob, message " << sent;
    }
    ASSERT_EQ(1, m_daemon.countInCommandLog(cutOff)) << sent << " messages sent";
    EXPECT_TRUE(carol.waitClosed());
    m.msg = "still here";
    ASSERT_TRUE(alice.sendMsg(m));
    auto relay = bob.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_NE(std::string::npos, relay->body.find("still here"));
}

}  // namespace
