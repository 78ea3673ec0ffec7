// Delivery reports against the real daemon: the result notice (MSG_RESULT)
// a sender receives, the send-state request the WAS receives, and the
// sender's result ACK with the forgetting of notices left unanswered.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ChatLoopback.h"

namespace {

constexpr uint32_t kRoom = 400;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";
const std::string kDave = "dave@corp.example.com";

DaemonHarness::Options withTimeouts(int relayAckSec, int resultAckSec) {
    DaemonHarness::Options o;
    o.relayAckTimeoutSec = relayAckSec;
    o.resultAckTimeoutSec = resultAckSec;
    // Every message pushes the members without a session.
    o.extraCommon = "<push_alarm_count>10</push_alarm_count>";
    return o;
}

// The push reply that reports the push of message msgNum to userId failed.
std::string pushFailedReply(uint32_t msgNum, const std::string& userId) {
    return FakeWas::resultHeader(0) + "<results><result room_id=\"" + std::to_string(kRoom) + "\" msg_num=\"" +
           std::to_string(msgNum) + "\" to_id=\"" + userId + "\" code=\"500\" msg=\"no token\"/></results>";
}

}  // namespace

class DeliveryReportTest : public ChatLoopbackTest {
protected:
    explicit DeliveryReportTest(DaemonHarness::Options options = withTimeouts(10, 30))
        : ChatLoopbackTest(std::move(options)) {}

    Client& member(const std::string& userId, uint16_t osType, uint32_t* joinSeq = nullptr) {
        client::JoinReply reply;
        Client& c = join(kRoom, userId, osType, &reply);
        EXPECT_EQ(0, reply.result) << userId;
        if (joinSeq) *joinSeq = reply.joinSeq;
        return c;
    }

    uint32_t say(Client& alice, const std::string& text) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = kAlice;
        m.fromName = nameOf(kAlice);
        m.msg = text;
        m.trid = ++m_trid;
        alice.sendMsg(m);
        auto ack = alice.waitFor(client::MSG_ACK);
        if (!ack) return 0;
        auto decoded = client::decodeMsgAck(*ack);
        return decoded ? decoded->msgNum : 0;
    }

    // The next result notice for message msgNum; notices of other messages
    // are passed over.
    static std::optional<client::MsgResult> noticeFor(Client& alice, uint32_t msgNum,
                                                      std::chrono::milliseconds within = std::chrono::seconds(5)) {
        const auto deadline = Client::Clock::now() + within;
        while (auto p = alice.waitFor(client::MSG_RESULT, deadline)) {
            auto notice = client::decodeMsgResult(*p);
            EXPECT_TRUE(notice) << "undecodable " << client::describe(*p);
            if (notice && notice->msgNum == msgNum) return notice;
        }
        return std::nullopt;
    }

    static std::vector<std::string> outcomesIn(const client::MsgResult& notice) {
        std::vector<std::string> got;
        for (const client::result_entry_t& e : notice.results) got.push_back(e.userId + ":" + std::to_string(e.code));
        return got;
    }

    std::string resultAckLine(uint32_t msgNum, const std::string& recipientAndOs, uint32_t resultSeq) const {
        return ":" + std::to_string(kRoom) + ":" + std::to_string(msgNum) + ":MSG_RESULT_ACK:" + recipientAndOs +
               ":SUCC:" + kAlice + ",1," + std::to_string(resultSeq);
    }

    uint32_t m_trid = 70;
};

TEST_F(DeliveryReportTest, OutcomesOfAMessageReachTheSenderInOneNoticeAndTheDeliveredTheWasInOneRequest) {
    Client& alice = openRoom(kRoom, kAlice, {kBob, kCarol, kDave});
    std::map<std::string, uint32_t> joinSeqs;
    member(kBob, client::OS_TYPE_MOBILE, &joinSeqs[kBob]);
    member(kCarol, client::OS_TYPE_MOBILE, &joinSeqs[kCarol]);

    // Notices go out every two seconds: right after one, the next is more
    // than a second away, so outcomes that come together share it.
    const uint32_t first = say(alice, "warming up");
    ASSERT_NE(0u, first);
    ASSERT_TRUE(noticeFor(alice, first));

    const uint32_t n = first + 1;
    m_daemon.was().setReply(DaemonHarness::kMobilePushPage, {200, pushFailedReply(n, kDave), true});
    ASSERT_EQ(n, say(alice, "hello all"));
    // bob and carol are acknowledged by the server at once; dave's push fails.
    ASSERT_TRUE(m_daemon.waitForCommandLog("msg_num=" + std::to_string(n) + " user_id=", 3));

    // bob's and carol's come in the order the daemon met their sessions.
    const std::string logged = m_daemon.commandLog();
    const std::string outcomeOf = "send result: room_id=400 msg_num=" + std::to_string(n) + " user_id=";
    const bool bobFirst = logged.find(outcomeOf + kBob) < logged.find(outcomeOf + kCarol);
    const std::string first1 = bobFirst ? kBob : kCarol;
    const std::string second1 = bobFirst ? kCarol : kBob;

    const auto notice = noticeFor(alice, n);
    ASSERT_TRUE(notice) << logged;
    EXPECT_EQ((std::vector<std::string>{first1 + ":1", second1 + ":1", kDave + ":20"}), outcomesIn(*notice));
    EXPECT_EQ(m_trid, notice->trid);
    EXPECT_EQ(client::OS_TYPE_PC, notice->fromOsType);
    for (const client::result_entry_t& e : notice->results) {
        EXPECT_EQ(nameOf(e.userId), e.nameInfo);
        EXPECT_EQ(client::OS_TYPE_MOBILE, e.osType);
    }

    // The two delivered members, in one request.
    const auto ofMessage = [&](const FakeWas::Request& r) { return r.field("msg_seq") == std::to_string(n); };
    const FakeWas::Request update = wasRequestMatching(m_daemon.was(), DaemonHarness::kUpdateMsgSendPage, ofMessage);
    const auto encoded = [](const std::string& id) { return id.substr(0, id.find('@')) + "%40corp.example.com"; };
    EXPECT_EQ("room_id=400&msg_seq=" + std::to_string(n) + "&tenant_id=example.com&userids=" + encoded(first1) +
                  "%09" + encoded(second1) + "&join_seqs=" + std::to_string(joinSeqs[first1]) + "%09" +
                  std::to_string(joinSeqs[second1]) + "&send_yn=y",
              update.body);
    const auto updates = m_daemon.was().requestsTo(DaemonHarness::kUpdateMsgSendPage);
    EXPECT_EQ(1, std::count_if(updates.begin(), updates.end(), ofMessage));
}

class DeliveryTimeoutReportTest : public DeliveryReportTest {
protected:
    DeliveryTimeoutReportTest() : DeliveryReportTest(withTimeouts(1, 30)) {}
};

TEST_F(DeliveryTimeoutReportTest, MemberThatNeverAcknowledgesIsReportedAsTimedOut) {
    Client& alice = openRoom(kRoom, kAlice, {kBob});
    Client& bob = member(kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, "anyone?");
    ASSERT_TRUE(bob.waitFor(client::MSG_RELAY));

    const auto notice = noticeFor(alice, n);
    ASSERT_TRUE(notice) << m_daemon.commandLog();
    ASSERT_EQ(1u, notice->results.size());
    EXPECT_EQ(kBob, notice->results[0].userId);
    EXPECT_EQ(client::OS_TYPE_PC, notice->results[0].osType);
    EXPECT_EQ(10u, notice->results[0].code);
}

class ResultAckFlowTest : public DeliveryReportTest {
protected:
    ResultAckFlowTest() : DeliveryReportTest(withTimeouts(10, 2)) {}
};

TEST_F(ResultAckFlowTest, AcknowledgedNoticeIsDoneAndAnUnansweredOneIsForgottenAfterItsTimeout) {
    Client& alice = openRoom(kRoom, kAlice, {kBob});
    member(kBob, client::OS_TYPE_MOBILE);

    const uint32_t first = say(alice, "one");
    const auto answered = noticeFor(alice, first);
    ASSERT_TRUE(answered);
    alice.sendResultAck({kRoom, first, answered->trid, client::OS_TYPE_PC, answered->resultSeq});
    ASSERT_TRUE(m_daemon.waitForChatLog(resultAckLine(first, kBob + ":MOBILE", answered->resultSeq)))
        << m_daemon.chatLog();

    const uint32_t second = say(alice, "two");
    const auto unanswered = noticeFor(alice, second);
    ASSERT_TRUE(unanswered);
    EXPECT_EQ(answered->resultSeq + 1, unanswered->resultSeq);
    const std::string forgotten = "ClearTimeout of MSG_RESULT_ACK. 400:" + std::to_string(second) + ":" +
                                  std::to_string(unanswered->resultSeq) + ":" + kBob;
    ASSERT_TRUE(m_daemon.waitForCommandLog(forgotten, 1, 6000)) << m_daemon.commandLog();
    EXPECT_EQ(0, m_daemon.countInCommandLog("ClearTimeout of MSG_RESULT_ACK. 400:" + std::to_string(first) + ":"));

    // Too late: logged without the recipient, nothing answered.
    alice.sendResultAck({kRoom, second, unanswered->trid, client::OS_TYPE_PC, unanswered->resultSeq});
    ASSERT_TRUE(m_daemon.waitForChatLog(resultAckLine(second, ":NONE", unanswered->resultSeq)));
    EXPECT_EQ(1, m_daemon.countInCommandLog(forgotten));
    ASSERT_TRUE(alice.ping());
    for (const client::Packet& p : alice.pending()) EXPECT_FALSE(p.isReply()) << client::describe(p);
}
