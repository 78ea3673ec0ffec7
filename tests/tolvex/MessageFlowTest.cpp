// Messages against the real daemon where only the real process shows the
// outcome: the sender's other device, the relay-ACK timeout reaching the
// sender, the cap on WAS requests in flight, a receiver that stops reading,
// and ids of the largest legal length (256 bytes) on every path that matches
// an id from one source against one from another (push reply rows, relay
// ACKs, failed-recipient rows, room reload rows).

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChatLoopback.h"
#include "support/Process.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

class MessageFlowTest : public ChatLoopbackTest {};

TEST_F(MessageFlowTest, SendersOwnOtherDeviceReceivesTheRelay) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob, kCarol});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    Client& aliceMobile = joinAs(room, kAlice, client::OS_TYPE_MOBILE);
    ASSERT_NE(0u, say(alice, room, kAlice, "hello"));

    auto relay = aliceMobile.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_EQ(kAlice, client::decodeMsgRelay(*relay)->fromId);
    ASSERT_TRUE(bob.waitFor(client::MSG_RELAY));
    expectQuiet(alice, "alice's sending PC");
}

class DeliveryTimeoutReportTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() { startDaemon({.relayAckTimeoutSec = 1}); }
};

TEST_F(DeliveryTimeoutReportTest, MemberThatNeverAcknowledgesIsReportedAsTimedOut) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, room, kAlice, "anyone?");
    ASSERT_TRUE(bob.waitFor(client::MSG_RELAY));

    const auto notice = noticeFor(alice, n);
    ASSERT_TRUE(notice) << daemon().commandLog();
    ASSERT_EQ(1u, notice->results.size());
    EXPECT_EQ(kBob, notice->results[0].userId);
    EXPECT_EQ(client::OS_TYPE_PC, notice->results[0].osType);
    EXPECT_EQ(client::SEND_RESULT_ACK_TIMEOUT, notice->results[0].code);
}

// One WAS request in flight at a time: while the WAS sits on the first save,
// the saves of the messages after it wait in the daemon, and they go out in
// order once the first one has ended.
class WasRequestLimitTest : public ChatLoopbackTest {
protected:
    // The first save stays out for the whole hold below.
    static void SetUpTestSuite() {
        startDaemon({.wasTimeoutSec = 3, .extraCommon = "<was_max_requests>1</was_max_requests>"});
    }
};

TEST_F(WasRequestLimitTest, SavesWaitForTheOneInFlightAndThenGoOutInOrder) {
    was().neverAnswer(DaemonHarness::kSaveMsgPage);
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob});
    std::vector<std::string> sent;
    for (int i = 0; i < 3; ++i) sent.push_back(std::to_string(say(alice, room, kAlice, "queued " + std::to_string(i))));
    // Served at once, persisted one by one: the invitation's save is still out.
    auto queuedSaves = [&] {
        std::vector<std::string> seqs;
        for (const FakeWas::Request& r : was().requestsTo(DaemonHarness::kSaveMsgPage))
            if (r.field("msg").rfind("queued ", 0) == 0) seqs.push_back(r.field("msg_seq"));
        return seqs;
    };
    ASSERT_TRUE(waitFor([&] { return !was().requestsTo(DaemonHarness::kSaveMsgPage).empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(queuedSaves().empty());

    // The silent save times out and is retried; this time the WAS answers.
    was().setReply(DaemonHarness::kSaveMsgPage, FakeWas::Reply{});
    ASSERT_TRUE(waitFor([&] { return queuedSaves().size() == 3; }, 15000)) << was().requestCount();
    EXPECT_EQ(sent, queuedSaves());
}

// A member whose connection stops reading is cut off once the output queued
// for it passes send_buffer_max, with one log line; the others in the room
// keep getting every message.
class SlowReceiverTest : public ChatLoopbackTest {
protected:
    // Alice sends hundreds of messages back to back, past the default
    // request limit; this is about the output limit, so that one is off.
    static void SetUpTestSuite() {
        startDaemon({.extraCommon = "<send_buffer_max>65536</send_buffer_max><session_msg_rate>0</session_msg_rate>"});
    }
};

TEST_F(SlowReceiverTest, AReceiverThatStopsReadingIsClosedAtTheLimitAndTheOthersKeepReceiving) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob, kCarol});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    Client& carol = joinAs(room, kCarol, client::OS_TYPE_PC);  // reads nothing from here on
    const std::string cutOff =
        "send_buffer_max reached: userid=" + kCarol + ", room_id=" + std::to_string(room) + ", osType=1, ";
    int sent = 0;
    // Carol's kernel buffers take a few megabytes before the daemon queues.
    for (; sent < 3000 && (sent % 25 != 0 || daemon().countInCommandLog(cutOff) == 0); ++sent) {
        ASSERT_NE(0u, say(alice, room, kAlice, std::string(8000, 'm'))) << "message " << sent;
        ASSERT_TRUE(bob.waitFor(client::MSG_RELAY)) << "bob, message " << sent;
    }
    ASSERT_EQ(1, daemon().countInCommandLog(cutOff)) << sent << " messages sent";
    EXPECT_TRUE(carol.waitClosed());
    ASSERT_NE(0u, say(alice, room, kAlice, "still here"));
    auto relay = bob.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_NE(std::string::npos, relay->body.find("still here"));
}

// Ids of the largest legal length: each match must find the member the join
// accepted, and every WAS request carries the ids whole.
constexpr size_t kLongest = 256;
const std::string kDomain = "@corp.example.com";
const std::string kSender = std::string(kLongest - kDomain.size(), 's') + kDomain;
const std::string kMember = std::string(kLongest - kDomain.size(), 'm') + kDomain;

std::string attr(const std::string& name, const std::string& value) { return " " + name + "=\"" + value + "\""; }

class LongIdFlowTest : public ChatLoopbackTest {
protected:
    // Every message pushes the members who are away.
    static void SetUpTestSuite() { startDaemon({.extraCommon = "<push_alarm_count>10</push_alarm_count>"}); }
};

// How the member is reached: 0 means never connected, so pushed.
class LongIdOutcomeTest : public LongIdFlowTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(LongIdOutcomeTest, MemberIsReportedDeliveredAndEveryRequestCarriesTheWholeIds) {
    const uint32_t room = freshRoom();
    Client& sender = openRoom(room, kSender, {kMember});
    const uint16_t os = GetParam();
    Client* member = os == 0 ? nullptr : &joinAs(room, kMember, os);
    const uint32_t next = say(sender, room, kSender, "first") + 1;  // so the next number is known
    ASSERT_NE(1u, next);
    // The suite shares one fake WAS: the push reply is set for each case.
    FakeWas::Reply pushed;
    if (!member)
        pushed.body += "<results><result" + attr("room_id", std::to_string(room)) + attr("msg_num", std::to_string(next)) +
                       attr("to_id", kMember) + attr("code", "0") + attr("msg", "sent") + "/></results>";
    was().setReply(DaemonHarness::kMobilePushPage, pushed);
    ASSERT_EQ(next, say(sender, room, kSender, "second"));
    if (member) {
        ASSERT_TRUE(member->waitFor(client::MSG_RELAY));
        ASSERT_TRUE(member->waitFor(client::MSG_RELAY));
        member->sendRelayAck({room, next, kMember, 9, os});
    }

    const auto notice = noticeFor(sender, next);
    ASSERT_TRUE(notice) << daemon().commandLog();
    ASSERT_EQ(1u, notice->results.size());
    EXPECT_EQ(kMember, notice->results[0].userId);
    EXPECT_EQ(client::SEND_RESULT_SUCCESS, notice->results[0].code);
    EXPECT_EQ(member ? os : client::OS_TYPE_MOBILE, notice->results[0].osType);

    const auto ofNext = [&](const FakeWas::Request& r) {
        return r.field("room_id") == std::to_string(room) &&
               (r.field("msg_seq") == std::to_string(next) || r.field("msgSeq") == std::to_string(next));
    };
    EXPECT_EQ(kSender, wasRequestMatching(was(), DaemonHarness::kSaveMsgPage, ofNext).field("send_user_id"));
    if (!member) {
        const FakeWas::Request push = wasRequestMatching(was(), DaemonHarness::kMobilePushPage, ofNext);
        EXPECT_EQ(kSender, push.field("senderId"));
        EXPECT_EQ(kMember, push.field("userid"));
    }
}

INSTANTIATE_TEST_SUITE_P(Reached, LongIdOutcomeTest, ::testing::Values(uint16_t{0}, client::OS_TYPE_PC),
                         [](const auto& info) { return std::string(info.param == 0 ? "ByPush" : "ByPcRelayAck"); });

TEST_F(LongIdFlowTest, ResendReachesTheMemberTheWasNames) {
    const uint32_t room = freshRoom();
    Client& sender = openRoom(room, kSender, {kMember});
    Client& member = joinAs(room, kMember, client::OS_TYPE_PC);
    was().setReply(DaemonHarness::kSendFailUserPage,
                   {200, FakeWas::resultHeader(0) + "<list><send_fail_info" + attr("room_id", std::to_string(room)) +
                             attr("msg_num", "42") + attr("trid", "9") + attr("fail_user_id", kMember) + "/></list>"});
    ASSERT_EQ(42u, say(sender, room, kSender, "again", 42));

    auto relay = member.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay) << daemon().commandLog();
    EXPECT_EQ(42u, client::decodeMsgRelay(*relay)->msgNum);
}

TEST_F(LongIdFlowTest, ReloadedRoomAdmitsTheMemberItsRowsName) {
    const uint32_t room = freshRoom();
    const std::string loner(kLongest, 'r');  // no "@": the id is its own tenant
    const std::string row = attr("name_info", "R") + attr("join_seq", "1") + attr("max_msg_seq", "7") +
                            attr("end_ymdt", "") + attr("last_recv_time", "1700000000") + attr("member_cnt", "2") +
                            attr("max_join_seq", "2");
    was().setReply(DaemonHarness::kLoadRoomPage,
                   {200, FakeWas::resultHeader(0) + "<rooms><room" + attr("room_id", std::to_string(room)) +
                             attr("user_id", loner) + row + "/></rooms>"});

    // The first join starts the reload and answers nobody; a later one finds the room.
    std::optional<client::JoinReply> reply;
    for (int i = 0; i < 50 && !(reply && reply->result == 0); ++i) {
        Client& c = connect();
        c.sendJoin(client::JoinRequest{room, loner, "R", client::OS_TYPE_PC});
        auto p = c.waitFor(client::USER_JOIN_REPLY, std::chrono::milliseconds(200));
        reply = p ? client::decodeJoinReply(*p) : std::nullopt;
    }
    ASSERT_TRUE(reply) << daemon().commandLog();
    EXPECT_EQ(0, reply->result);
    const auto reloads = was().requestsTo(DaemonHarness::kLoadRoomPage);
    ASSERT_FALSE(reloads.empty());
    EXPECT_EQ("room_id=" + std::to_string(room) + "&tenant_id=" + loner + "&svr_ip=127.0.0.1&svr_port=" +
                  std::to_string(daemon().port()),
              reloads[0].body);
}

}  // namespace
