// Thousands of relay ACKs on the loop thread while the timeout thread scans
// the same messages: every member of every message ends with exactly one
// outcome, delivered or timed out, and nothing touches a freed entry (run
// it under ThreadSanitizer and AddressSanitizer).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/task/AckTask.h"

namespace {

constexpr uint32_t kRoom = 90;
constexpr uint32_t kMessages = 600;
constexpr int kMembers = 8;
constexpr int kTimeoutSec = 2;
constexpr uint32_t kMessagesPerSecond = 20;
// ACKs come for the message this many numbers back: about its timeout.
constexpr uint32_t kLag = kMessagesPerSecond * kTimeoutSec;
const std::string kSender = "sam@m.xcorp";

std::string memberId(int i) {
    return "member" + std::to_string(i) + "@m.xcorp";
}

}  // namespace

class AckStressTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        std::vector<std::string> members{kSender};
        for (int i = 0; i < kMembers; ++i) members.push_back(memberId(i));
        roomOf(kRoom, members);
        // Each outcome but delivery asks the WAS for an invite; thousands of
        // such jobs would outlast the test, so here they fail at once.
        const std::string unreachable[] = {"127.0.0.1:0", "end"};
        g_was.convert2WasInfo(unreachable, 2);
        AckTask& task = AckTask::getInstance();
        task.setNowFunction([this] { return m_now.load(); });
        task.setTimeoutFunction([] { return kTimeoutSec; });
        task.setCycleInterval(std::chrono::milliseconds(1));
    }
    void TearDown() override {
        AckTask& task = AckTask::getInstance();
        task.stop();
        task.setNowFunction({});
        task.setTimeoutFunction({});
        task.setCycleInterval(std::chrono::seconds(1));
        ChatRoomFixture::TearDown();
    }

    // Each message reached every member on a PC and on a mobile.
    void registerMessage(uint32_t msgNum) {
        Members reached;
        for (int i = 0; i < kMembers; ++i) reached[memberId(i)] = {OS_TYPE_PC, OS_TYPE_MOBILE};
        expectAcks(kRoom, msgNum, kSender, reached, m_now.load());
    }

    std::atomic<time_t> m_now{100000};
};

TEST_F(AckStressTest, EveryMemberEndsWithExactlyOneOutcome) {
    LoopQueue loop;
    ASSERT_TRUE(AckTask::getInstance().start());

    int acksSent = 0;
    for (uint32_t msgNum = 1; msgNum <= kMessages; ++msgNum) {
        registerMessage(msgNum);
        // Members answer a message just as it reaches its timeout (some
        // after a push failure), so the ACKs and the scan meet on the same
        // entries; the others never answer.
        if (msgNum > kLag) {
            const uint32_t target = msgNum - kLag;
            for (int i = 0; i < kMembers; ++i) {
                if (i % 3 == 0) {
                    relayAck(kRoom, target, memberId(i), OS_TYPE_MOBILE, SEND_RESULT_PUSH_FAIL);
                    ++acksSent;
                }
                if (i % 2 == 0) {
                    relayAck(kRoom, target, memberId(i), OS_TYPE_PC);
                    ++acksSent;
                }
            }
        }
        if (msgNum % kMessagesPerSecond == 0) m_now.fetch_add(1);
        if (msgNum % 7 == 0) loop.drain();
    }
    EXPECT_GT(acksSent, 3000);

    m_now.fetch_add(kTimeoutSec + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (AckManager::getInstance().pendingMessageCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(0u, AckManager::getInstance().pendingMessageCount());
    AckTask::getInstance().stop();
    loop.drain();

    std::map<std::pair<uint32_t, std::string>, int> perMember;
    std::map<uint32_t, int> perCode;
    for (const auto& r : outcomes()) {
        ++perMember[{r.msgNum, userOf(r)}];
        ++perCode[r.result.sendResultCode];
    }
    EXPECT_EQ(kMessages * kMembers, perMember.size());
    EXPECT_EQ(kMessages * kMembers, outcomes().size()) << "a member reported twice";
    EXPECT_GT(perCode[SEND_RESULT_SUCCESS], 0);
    EXPECT_GT(perCode[SEND_RESULT_ACK_TIMEOUT], 0);
    EXPECT_EQ(perCode[SEND_RESULT_SUCCESS] + perCode[SEND_RESULT_ACK_TIMEOUT] + perCode[SEND_RESULT_PUSH_FAIL],
              static_cast<int>(kMessages * kMembers));
}
