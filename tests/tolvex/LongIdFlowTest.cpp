// Ids of the largest legal length (256 bytes) against the real daemon: each
// path that matches an id from one source against an id from another (push
// reply rows, relay ACKs, failed-recipient rows, room reload rows) must
// find the member the join accepted, and every WAS request carries it whole.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "ChatLoopback.h"

namespace {

constexpr uint32_t kRoom = 256;
constexpr size_t kLongest = 256;
const std::string kDomain = "@corp.example.com";
const std::string kSender = std::string(kLongest - kDomain.size(), 's') + kDomain;
const std::string kMember = std::string(kLongest - kDomain.size(), 'm') + kDomain;

DaemonHarness::Options pushingEveryMessage() {
    DaemonHarness::Options o;
    o.extraCommon = "<push_alarm_count>10</push_alarm_count>";
    return o;
}

std::string attr(const std::string& name, const std::string& value) { return " " + name + "=\"" + value + "\""; }

struct reached_t {
    const char* name;
    uint16_t memberOsType;  // 0: the member never connects and is pushed
};

void PrintTo(const reached_t& r, std::ostream* out) { *out << r.name; }

}  // namespace

class LongIdFlowTest : public ChatLoopbackTest {
protected:
    LongIdFlowTest() : ChatLoopbackTest(pushingEveryMessage()) {}

    uint32_t say(Client& sender, uint32_t msgNumFromClient = 0) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = kSender;
        m.fromName = nameOf(kSender);
        m.msg = "hello";
        m.trid = 9;
        m.msgNumFromClient = msgNumFromClient;
        sender.sendMsg(m);
        auto ack = sender.waitFor(client::MSG_ACK);
        auto decoded = ack ? client::decodeMsgAck(*ack) : std::nullopt;
        return decoded ? decoded->msgNum : 0;
    }

    static std::optional<client::MsgResult> noticeFor(Client& sender, uint32_t msgNum) {
        while (auto p = sender.waitFor(client::MSG_RESULT)) {
            auto notice = client::decodeMsgResult(*p);
            if (notice && notice->msgNum == msgNum) return notice;
        }
        return std::nullopt;
    }
};

class LongIdOutcomeTest : public LongIdFlowTest, public ::testing::WithParamInterface<reached_t> {};

TEST_P(LongIdOutcomeTest, MemberIsReportedDeliveredAndEveryRequestCarriesTheWholeIds) {
    Client& sender = openRoom(kRoom, kSender, {kMember});
    const uint16_t os = GetParam().memberOsType;
    Client* member = os == 0 ? nullptr : &joinAs(kRoom, kMember, os);
    const uint32_t next = say(sender) + 1;  // a first message, so the next number is known
    ASSERT_NE(1u, next);
    if (!member) {
        m_daemon.was().setReply(DaemonHarness::kMobilePushPage,
                                {200, FakeWas::resultHeader(0) + "<results><result" +
                                          attr("room_id", std::to_string(kRoom)) +
                                          attr("msg_num", std::to_string(next)) + attr("to_id", kMember) +
                                          attr("code", "0") + attr("msg", "sent") + "/></results>"});
    }
    ASSERT_EQ(next, say(sender));
    if (member) {
        ASSERT_TRUE(member->waitFor(client::MSG_RELAY));
        ASSERT_TRUE(member->waitFor(client::MSG_RELAY));
        member->sendRelayAck({kRoom, next, kMember, 9, os});
    }

    const auto notice = noticeFor(sender, next);
    ASSERT_TRUE(notice) << m_daemon.commandLog();
    ASSERT_EQ(1u, notice->results.size());
    EXPECT_EQ(kMember, notice->results[0].userId);
    EXPECT_EQ(1u, notice->results[0].code);
    EXPECT_EQ(member ? os : client::OS_TYPE_MOBILE, notice->results[0].osType);

    const auto ofNext = [&](const FakeWas::Request& r) {
        return r.field("msg_seq") == std::to_string(next) || r.field("msgSeq") == std::to_string(next);
    };
    const FakeWas::Request save = wasRequestMatching(m_daemon.was(), DaemonHarness::kSaveMsgPage, ofNext);
    EXPECT_EQ(kSender, save.field("send_user_id"));
    if (!member) {
        const FakeWas::Request push = wasRequestMatching(m_daemon.was(), DaemonHarness::kMobilePushPage, ofNext);
        EXPECT_EQ(kSender, push.field("senderId"));
        EXPECT_EQ(kMember, push.field("userid"));
    }
}

INSTANTIATE_TEST_SUITE_P(Reached, LongIdOutcomeTest,
                         ::testing::Values(reached_t{"ByPush", 0}, reached_t{"ByPcRelayAck", client::OS_TYPE_PC}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LongIdFlowTest, ResendReachesTheMemberTheWasNames) {
    Client& sender = openRoom(kRoom, kSender, {kMember});
    Client& member = joinAs(kRoom, kMember, client::OS_TYPE_PC);
    m_daemon.was().setReply(DaemonHarness::kSendFailUserPage,
                            {200, FakeWas::resultHeader(0) + "<list><send_fail_info" +
                                      attr("room_id", std::to_string(kRoom)) + attr("msg_num", "42") +
                                      attr("trid", "9") + attr("fail_user_id", kMember) + "/></list>"});
    ASSERT_EQ(42u, say(sender, 42));

    auto relay = member.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay) << m_daemon.commandLog();
    EXPECT_EQ(42u, client::decodeMsgRelay(*relay)->msgNum);
}

TEST_F(LongIdFlowTest, ReloadedRoomAdmitsTheMemberItsRowsName) {
    const std::string loner(kLongest, 'r');  // no "@": the id is its own tenant
    const std::string row = attr("name_info", "R") + attr("join_seq", "1") + attr("max_msg_seq", "7") +
                            attr("end_ymdt", "") + attr("last_recv_time", "1700000000") + attr("member_cnt", "2") +
                            attr("max_join_seq", "2");
    m_daemon.was().setReply(DaemonHarness::kLoadRoomPage,
                            {200, FakeWas::resultHeader(0) + "<rooms><room" + attr("room_id", std::to_string(kRoom)) +
                                      attr("user_id", loner) + row + "/></rooms>"});

    // The first join starts the reload; a later one finds the room.
    std::optional<client::JoinReply> reply;
    for (int i = 0; i < 50 && !(reply && reply->result == 0); ++i) {
        Client& c = connect();
        c.sendJoin(client::JoinRequest{kRoom, loner, "R", client::OS_TYPE_PC});
        auto p = c.waitFor(client::USER_JOIN_REPLY, std::chrono::milliseconds(200));
        reply = p ? client::decodeJoinReply(*p) : std::nullopt;
    }
    ASSERT_TRUE(reply) << m_daemon.commandLog();
    EXPECT_EQ(0, reply->result);
    const auto reloads = m_daemon.was().requestsTo(DaemonHarness::kLoadRoomPage);
    ASSERT_FALSE(reloads.empty());
    EXPECT_EQ("room_id=" + std::to_string(kRoom) + "&tenant_id=" + loner, reloads[0].body);
}
