// The registry of result notices awaiting the sender's result ACK: which
// result a notice keeps, what an ACK takes out, and what the sweep forgets
// and logs.

#include <gtest/gtest.h>

#include <string>

#include "AckFixture.h"
#include "tolvex/ack/AckManager.h"

namespace {

constexpr uint32_t kRoom = 52;
const std::string kSender = "sam@m.xcorp";

std::string recipientOf(const send_result& r) {
    return std::string(msgText(r.userId, r.userIdLen));
}

}  // namespace

class ResultAckTest : public AckFixture {
protected:
    static AckManager& registry() { return AckManager::getInstance(); }
    static void notice(uint32_t msgNum, uint32_t seq, const std::string& userId, uint32_t pushedAt = 1000,
                       uint32_t roomId = kRoom) {
        send_result r;
        setMsgText(r.userId, r.userIdLen, userId);
        r.osType = OS_TYPE_MOBILE;
        r.sendResultCode = SEND_RESULT_SUCCESS;
        r.sendToTimeFromClient = pushedAt;
        registry().addResultAckInfo(roomId, kSender, msgNum, seq, r);
    }
    static std::optional<size_t> waiting(uint32_t roomId = kRoom) {
        return registry().searchSendResultAckRoom(roomId, kSender);
    }
    static std::string forgotten(uint32_t roomId, uint32_t msgNum, uint32_t seq, const std::string& userId) {
        return "ClearTimeout of MSG_RESULT_ACK. " + std::to_string(roomId) + ":" + std::to_string(msgNum) + ":" +
               std::to_string(seq) + ":" + userId;
    }
};

TEST_F(ResultAckTest, NoticeKeepsItsFirstResultAndAnAckTakesItOutOnce) {
    notice(5, 7, "ann@m.xcorp");
    notice(5, 7, "ben@m.xcorp");  // the same notice's second recipient
    notice(5, 8, "cat@m.xcorp");
    EXPECT_EQ(2u, waiting());

    // Another tenant's room, message or number: nothing changes.
    EXPECT_EQ(0u, registry().clearResultAckInfo(kRoom, "sam@m.othercorp", 5, 7).userIdLen);
    EXPECT_EQ(0u, registry().clearResultAckInfo(kRoom, kSender, 6, 7).userIdLen);
    EXPECT_EQ(0u, registry().clearResultAckInfo(kRoom, kSender, 5, 9).userIdLen);

    const send_result got = registry().clearResultAckInfo(kRoom, kSender, 5, 7);
    EXPECT_EQ("ann@m.xcorp", recipientOf(got));
    EXPECT_EQ(OS_TYPE_MOBILE, got.osType);
    EXPECT_EQ(1000u, got.sendToTimeFromClient);
    const send_result again = registry().clearResultAckInfo(kRoom, kSender, 5, 7);
    EXPECT_EQ(0u, again.userIdLen);
    EXPECT_EQ(0u, again.osType);

    EXPECT_EQ("cat@m.xcorp", recipientOf(registry().clearResultAckInfo(kRoom, kSender, 5, 8)));
    // The emptied room waits for the sweep.
    EXPECT_EQ(0u, waiting());
    registry().clearTimeoutResultAckInfo(30, 1001);
    EXPECT_FALSE(waiting().has_value());
    EXPECT_EQ(0, countOf(commandLog(), "ClearTimeout"));
}

TEST_F(ResultAckTest, SweepForgetsWhatReachedItsTimeoutInRoomMessageAndNumberOrder) {
    notice(9, 4, "cat@m.xcorp", 1000, kRoom + 1);
    notice(6, 3, "ben@m.xcorp", 1000);
    notice(5, 2, "ann@m.xcorp", 1000);
    notice(5, 1, "dan@m.xcorp", 1000);
    notice(5, 9, "eve@m.xcorp", 1001);  // a second younger

    registry().clearTimeoutResultAckInfo(30, 1029);
    EXPECT_EQ(0, countOf(commandLog(), "ClearTimeout"));

    registry().clearTimeoutResultAckInfo(30, 1030);
    const std::string log = commandLog();
    const size_t dan = log.find(forgotten(kRoom, 5, 1, "dan@m.xcorp"));
    const size_t ann = log.find(forgotten(kRoom, 5, 2, "ann@m.xcorp"));
    const size_t ben = log.find(forgotten(kRoom, 6, 3, "ben@m.xcorp"));
    const size_t cat = log.find(forgotten(kRoom + 1, 9, 4, "cat@m.xcorp"));
    ASSERT_NE(std::string::npos, cat);
    EXPECT_LT(dan, ann);
    EXPECT_LT(ann, ben);
    EXPECT_LT(ben, cat);
    EXPECT_EQ(4, countOf(log, "ClearTimeout"));
    EXPECT_EQ(1u, waiting());
    EXPECT_FALSE(waiting(kRoom + 1).has_value());

    // A timeout of 0 forgets everything at the next sweep.
    notice(7, 10, "fay@m.xcorp", 1031);
    registry().clearTimeoutResultAckInfo(0, 1031);
    EXPECT_EQ(1, countOf(commandLog(), forgotten(kRoom, 5, 9, "eve@m.xcorp")));
    EXPECT_EQ(1, countOf(commandLog(), forgotten(kRoom, 7, 10, "fay@m.xcorp")));
    EXPECT_FALSE(waiting().has_value());
}
