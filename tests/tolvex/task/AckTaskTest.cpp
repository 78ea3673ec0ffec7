// The relay-ACK timeout cycle: when a missing ACK becomes outcome 10, how
// many outcomes it yields, and that the thread leaves the reporting to the
// loop.

#include "tolvex/task/AckTask.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/room/RoomManager.h"

namespace {

constexpr uint32_t kRoom = 77;
const std::string kSender = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";
const std::string kBen = "ben@m.xcorp";

}  // namespace

class AckTaskTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        roomOf(kRoom, {kSender, kAnn, kBen});
    }
    void TearDown() override {
        AckTask& task = AckTask::getInstance();
        task.stop();
        task.setNowFunction({});
        task.setTimeoutFunction({});
        task.setCycleInterval(std::chrono::seconds(1));
        ChatRoomFixture::TearDown();
    }

    static std::string nameIn(const stored_send_result_t& r) {
        return std::string(msgText(r.result.userNameInfo, r.result.userNameInfoLen));
    }
    static void cycleAt(time_t now, int timeoutSec) { AckTask::getInstance().runCycle(now, timeoutSec); }

    static int timeoutsOf(const std::string& userId) {
        int n = 0;
        for (const auto& r : outcomes())
            if (userOf(r) == userId && r.result.sendResultCode == SEND_RESULT_ACK_TIMEOUT) ++n;
        return n;
    }

};

TEST_F(AckTaskTest, MissingAckBecomesOneTimeoutAtTheFirstCycleItIsDue) {
    expectAcks(kRoom, 3, kSender, {{kAnn, {OS_TYPE_PC}}, {kBen, {OS_TYPE_PC}}}, 1000, 31);
    ASSERT_TRUE(relayAck(kRoom, 3, kBen, OS_TYPE_PC));

    cycleAt(1009, 10);
    EXPECT_EQ(0, timeoutsOf(kAnn));
    cycleAt(1010, 10);
    cycleAt(1011, 10);

    EXPECT_EQ(1, timeoutsOf(kAnn));
    EXPECT_EQ(0, timeoutsOf(kBen));
    const auto got = outcomes();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(kSender, got[1].fromId);
    EXPECT_EQ(31u, got[1].trid);
    EXPECT_EQ(1000u, got[1].msgTime);
    EXPECT_EQ(nameOf(kAnn), nameIn(got[1]));
    EXPECT_EQ(2u, got[1].result.joinSeq);
    EXPECT_EQ(OS_TYPE_PC, got[1].result.osType);
}

TEST_F(AckTaskTest, MemberOwingSeveralDevicesTimesOutOnceWithTheFirstStillListed) {
    expectAcks(kRoom, 4, kSender, {{kAnn, {OS_TYPE_MOBILE, OS_TYPE_PC}}}, 1000);
    expectAcks(kRoom, 5, kSender, {{kBen, {OS_TYPE_MOBILE, OS_TYPE_PC}}}, 1000);
    ASSERT_TRUE(relayAck(kRoom, 5, kBen, OS_TYPE_MOBILE, SEND_RESULT_PUSH_FAIL));
    cycleAt(1010, 10);
    const auto got = outcomes();
    ASSERT_EQ(2u, got.size());
    for (const auto& r : got) {
        EXPECT_EQ(SEND_RESULT_ACK_TIMEOUT, r.result.sendResultCode) << userOf(r);
        EXPECT_EQ(userOf(r) == kAnn ? OS_TYPE_MOBILE : OS_TYPE_PC, r.result.osType) << userOf(r);
    }
}

TEST_F(AckTaskTest, TheThreadTakesTimeoutsOutButLeavesTheReportingToTheLoop) {
    LoopQueue loop;
    AckTask& task = AckTask::getInstance();
    task.setNowFunction([] { return time_t{2000}; });
    task.setTimeoutFunction([] { return 0; });
    task.setCycleInterval(std::chrono::milliseconds(5));
    expectAcks(kRoom, 12, kSender, {{kAnn, {OS_TYPE_PC}}}, 1000);
    ASSERT_TRUE(task.start());
    ASSERT_TRUE(runUntil([] { return AckManager::getInstance().pendingMessageCount() == 0; }));
    task.stop();

    EXPECT_TRUE(outcomes().empty());
    loop.drain();
    EXPECT_EQ(1u, outcomes().size());
}
