// Relay ACKs against the registry: which outcome each one reports, what it
// clears, and the ACKs that come too late or carry too much.

#include "tolvex/chat/AckEventHandler.h"

#include <gtest/gtest.h>

#include <string>

#include "AckFixture.h"

namespace {

constexpr uint32_t kRoom = 41;
const std::string kSender = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";
const std::string kBen = "ben@m.xcorp";

}  // namespace

class AckEventHandlerTest : public AckFixture {
protected:
    void SetUp() override {
        AckFixture::SetUp();
        openRoom(kRoom, kSender, {kAnn, kBen});
    }
};

TEST_F(AckEventHandlerTest, ClientAckReportsDeliveryWithTheMessageAndMemberDetails) {
    expectAcks(kRoom, 7, kSender, {{kAnn, {OS_TYPE_PC}}, {kBen, {OS_TYPE_PC}}}, 1234, 99);
    ASSERT_TRUE(relayAck(kRoom, 7, kAnn, OS_TYPE_PC));

    const auto got = outcomes();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(kRoom, got[0].roomId);
    EXPECT_EQ(7u, got[0].msgNum);
    EXPECT_EQ(99u, got[0].trid);
    EXPECT_EQ(1234u, got[0].msgTime);
    EXPECT_EQ(kSender, got[0].fromId);
    EXPECT_EQ(kAnn, userOf(got[0]));
    EXPECT_EQ(nameOf(kAnn), nameIn(got[0]));
    EXPECT_EQ(2u, got[0].result.joinSeq);
    EXPECT_EQ(OS_TYPE_PC, got[0].result.osType);
    EXPECT_EQ(SEND_RESULT_SUCCESS, got[0].result.sendResultCode);
    EXPECT_EQ(0u, remaining(kRoom, kAnn, 7));
    EXPECT_EQ(1u, remaining(kRoom, kBen, 7));
    EXPECT_EQ(1, countOf(chatLog(), ":MSG_RELAY_ACK:" + kAnn + ":PC:SUCC:1"));
}

TEST_F(AckEventHandlerTest, MemberReachedOnPcAndByPushIsReportedOnceOnItsClientAck) {
    expectAcks(kRoom, 8, kSender, {{kAnn, {OS_TYPE_PC, OS_TYPE_MOBILE}}});
    ASSERT_TRUE(relayAck(kRoom, 8, kAnn, OS_TYPE_PC));
    ASSERT_TRUE(relayAck(kRoom, 8, kAnn, OS_TYPE_MOBILE));  // the push reply, afterwards

    const auto got = outcomes();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(SEND_RESULT_SUCCESS, got[0].result.sendResultCode);
    EXPECT_FALSE(AckManager::getInstance().getSendMsgDetail(kRoom, kAnn, 8).has_value());
    EXPECT_EQ(1, countOf(chatLog(), ":delay"));
}

TEST_F(AckEventHandlerTest, PushFailureWhileAPcAckIsPendingReportsNothingAndDropsOnlyTheMobile) {
    expectAcks(kRoom, 9, kSender, {{kAnn, {OS_TYPE_PC, OS_TYPE_MOBILE}}});
    ASSERT_TRUE(relayAck(kRoom, 9, kAnn, OS_TYPE_MOBILE, SEND_RESULT_PUSH_FAIL));

    EXPECT_TRUE(outcomes().empty());
    const auto detail = AckManager::getInstance().getSendMsgDetail(kRoom, kAnn, 9);
    ASSERT_TRUE(detail.has_value());
    EXPECT_EQ((std::list<uint16_t>{OS_TYPE_PC}), detail->getUserList().at(kAnn));

    ASSERT_TRUE(relayAck(kRoom, 9, kAnn, OS_TYPE_PC));
    const auto got = outcomes();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(SEND_RESULT_SUCCESS, got[0].result.sendResultCode);
}

TEST_F(AckEventHandlerTest, PushFailureForTheLastOutstandingDeviceIsReported) {
    expectAcks(kRoom, 10, kSender, {{kAnn, {OS_TYPE_MOBILE}}});
    ASSERT_TRUE(relayAck(kRoom, 10, kAnn, OS_TYPE_MOBILE, SEND_RESULT_PUSH_FAIL));

    const auto got = outcomes();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(SEND_RESULT_PUSH_FAIL, got[0].result.sendResultCode);
    EXPECT_EQ(OS_TYPE_MOBILE, got[0].result.osType);
    EXPECT_EQ(0u, AckManager::getInstance().pendingMessageCount());
}

TEST_F(AckEventHandlerTest, AckFromTheSendersOwnOtherDeviceIsOnlyLogged) {
    expectAcks(kRoom, 12, kSender, {{kSender, {OS_TYPE_MOBILE}}, {kAnn, {OS_TYPE_PC}}});
    ASSERT_TRUE(relayAck(kRoom, 12, kSender, OS_TYPE_MOBILE));

    EXPECT_TRUE(outcomes().empty());
    EXPECT_EQ(1u, remaining(kRoom, kAnn, 12));
    EXPECT_EQ(1, countOf(chatLog(), ":12:MSG_RELAY_ACK:" + kSender + ":MOBILE:SUCC:1"));
}

TEST_F(AckEventHandlerTest, AttachmentRelayAckIsLoggedUnderItsOwnName) {
    expectAcks(kRoom, 14, kSender, {{kAnn, {OS_TYPE_PC}}});
    ASSERT_TRUE(relayAck(kRoom, 14, kAnn, OS_TYPE_PC, SEND_RESULT_SUCCESS, ATTACH_ALARM_RELAY_ACK));
    EXPECT_EQ(1u, outcomes().size());
    EXPECT_EQ(1, countOf(chatLog(), ":14:ATTACH_ALARM_RELAY_ACK:" + kAnn + ":PC:SUCC:1"));
}

TEST_F(AckEventHandlerTest, MemberWhoLeftIsReportedWithoutNameOrJoinSequence) {
    expectAcks(kRoom, 15, kSender, {{"gone@m.xcorp", {OS_TYPE_PC}}});
    ASSERT_TRUE(relayAck(kRoom, 15, "gone@m.xcorp", OS_TYPE_PC));
    const auto got = outcomes();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("", nameIn(got[0]));
    EXPECT_EQ(0u, got[0].result.joinSeq);
}

class AckUserIdLimitTest : public AckFixture {};

TEST_F(AckUserIdLimitTest, BodyEndingInsideTheUserIdMatchesNothing) {
    BodyWriter w(64);
    w.u32(kRoom).u32(1).u16(10).raw("abc", 3);
    const OutPacket pk(MSG_RELAY_ACK, w.take());
    EXPECT_TRUE(AckEventHandler().receiveMsgRelayAck(pk.get(), SEND_RESULT_SUCCESS));
    EXPECT_EQ(1, countOf(chatLog(), ":1:MSG_RELAY_ACK::NONE:SUCC:delay"));
}

// Result ACKs (MSG_RESULT_ACK): the sender's answer to a result notice.
class ResultAckHandlerTest : public AckFixture {
protected:
    static void resultAck(const std::string& body, const std::string& sessionUserId = kSender) {
        const OutPacket pk(MSG_RESULT_ACK, std::vector<char>(body.begin(), body.end()));
        AckEventHandler::receiveMsgResultAck(pk.get(), sessionUserId, OS_TYPE_PC);
    }
    static std::string body(uint32_t msgSeq, uint32_t resultSeq) {
        BodyWriter w(64);
        w.u32(kRoom).u32(msgSeq).u32(5).u16(OS_TYPE_PC).u32(resultSeq);
        const std::vector<char> bytes = w.take();
        return std::string(bytes.begin(), bytes.end());
    }
    static std::optional<size_t> waiting() { return AckManager::getInstance().searchSendResultAckRoom(kRoom, kSender); }
};

TEST_F(ResultAckHandlerTest, AckTakesOutItsNoticeAndIsLoggedWithTheNoticesRecipient) {
    send_result r;
    setMsgText(r.userId, r.userIdLen, kAnn);
    r.osType = OS_TYPE_MOBILE;
    AckManager::getInstance().addResultAckInfo(kRoom, kSender, 7, 3, r);

    resultAck(body(7, 3), "sam@m.othercorp");  // the room is the session's tenant's
    EXPECT_EQ(1u, waiting());
    resultAck(body(7, 3));
    EXPECT_EQ(0u, waiting());
    resultAck(body(7, 3));  // once more: the notice is gone

    const std::string log = chatLog();
    EXPECT_EQ(1, countOf(log, "S:>>:41:7:MSG_RESULT_ACK::NONE:SUCC:sam@m.othercorp,1,3"));
    EXPECT_EQ(1, countOf(log, "S:>>:41:7:MSG_RESULT_ACK:" + kAnn + ":MOBILE:SUCC:" + kSender + ",1,3"));
    EXPECT_EQ(1, countOf(log, "S:>>:41:7:MSG_RESULT_ACK::NONE:SUCC:" + kSender + ",1,3"));
}

TEST_F(ResultAckHandlerTest, ShortBodyReadsTheMissingFieldsAsZero) {
    const std::string full = body(7, 3);
    resultAck(full.substr(0, full.size() - 1));  // ends inside the result number
    resultAck(full.substr(0, 4));                // the room id alone
    resultAck("");
    const std::string log = chatLog();
    EXPECT_EQ(1, countOf(log, "S:>>:41:7:MSG_RESULT_ACK::NONE:SUCC:" + kSender + ",1,0"));
    EXPECT_EQ(1, countOf(log, "S:>>:41:-1:MSG_RESULT_ACK::NONE:SUCC:" + kSender + ",1,0"));
    EXPECT_EQ(1, countOf(log, "S:>>:0:-1:MSG_RESULT_ACK::NONE:SUCC:" + kSender + ",1,0"));
}
