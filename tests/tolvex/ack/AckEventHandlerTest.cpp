// Relay ACKs and result ACKs against the registry: which outcome a push
// failure reports, and ACKs that carry too little.

#include "tolvex/chat/AckEventHandler.h"

#include <gtest/gtest.h>

#include <list>
#include <string>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/OutPacket.h"

namespace {

constexpr uint32_t kRoom = 41;
const std::string kSender = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";
const std::string kBen = "ben@m.xcorp";

}  // namespace

class AckEventHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        roomOf(kRoom, {kSender, kAnn, kBen});
    }
};

TEST_F(AckEventHandlerTest, PushFailureIsReportedOnlyForTheLastOutstandingDevice) {
    expectAcks(kRoom, 9, kSender, {{kAnn, {OS_TYPE_PC, OS_TYPE_MOBILE}}, {kBen, {OS_TYPE_MOBILE}}});
    ASSERT_TRUE(relayAck(kRoom, 9, kAnn, OS_TYPE_MOBILE, SEND_RESULT_PUSH_FAIL));
    EXPECT_EQ(0u, outcomeOf(kAnn)) << "ann's PC may still answer";
    const auto detail = AckManager::getInstance().getSendMsgDetail(kRoom, kAnn, 9);
    ASSERT_TRUE(detail.has_value());
    EXPECT_EQ((std::list<uint16_t>{OS_TYPE_PC}), detail->getUserList().at(kAnn));

    ASSERT_TRUE(relayAck(kRoom, 9, kBen, OS_TYPE_MOBILE, SEND_RESULT_PUSH_FAIL));
    EXPECT_EQ(SEND_RESULT_PUSH_FAIL, outcomeOf(kBen));
    ASSERT_TRUE(relayAck(kRoom, 9, kAnn, OS_TYPE_PC));
    EXPECT_EQ(SEND_RESULT_SUCCESS, outcomeOf(kAnn));
    EXPECT_EQ(0u, AckManager::getInstance().pendingMessageCount());
}

TEST_F(AckEventHandlerTest, BodyEndingInsideTheUserIdMatchesNothing) {
    expectAcks(kRoom, 1, kSender, {{"abc", {OS_TYPE_PC}}});
    BodyWriter w(64);
    w.u32(kRoom).u32(1).u16(10).raw("abc", 3);
    const OutPacket pk(MSG_RELAY_ACK, w.take());
    EXPECT_TRUE(AckEventHandler().receiveMsgRelayAck(pk.get(), SEND_RESULT_SUCCESS));
    EXPECT_TRUE(outcomes().empty());
    EXPECT_EQ(1, countOf(chatLog(), ":1:MSG_RELAY_ACK::NONE:SUCC:delay"));
}

// Result ACKs (MSG_RESULT_ACK): the sender's answer to a result notice.
class ResultAckHandlerTest : public ChatRoomFixture {
protected:
    static void resultAck(const std::string& body, const std::string& sessionUserId = kSender) {
        const OutPacket pk(MSG_RESULT_ACK, std::vector<char>(body.begin(), body.end()));
        AckEventHandler::receiveMsgResultAck(pk.get(), sessionUserId, OS_TYPE_PC);
    }
    static std::string body(uint32_t msgSeq, uint32_t resultSeq) {
        return client::encode(client::ResultAck{kRoom, msgSeq, 5, OS_TYPE_PC, resultSeq});
    }
    static std::optional<size_t> waiting() { return AckManager::getInstance().searchSendResultAckRoom(kRoom, kSender); }
};

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
