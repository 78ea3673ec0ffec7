// The send-state store: what an outcome keeps of its message, and its bound.

#include "tolvex/task/SendStateTask.h"

#include <gtest/gtest.h>

#include <string>

#include "tolvex/chat/MsgText.h"

class SendStateTaskTest : public ::testing::Test {
protected:
    void SetUp() override { store().clearSendResults(); }
    void TearDown() override { store().clearSendResults(); }
    static SendStateTask& store() { return SendStateTask::getInstance(); }

    static msg_info message(uint32_t msgNum) {
        msg_info msg;
        msg.roomId = 3;
        msg.msgNum = msgNum;
        msg.trid = 8;
        msg.msgTime = 1234;
        msg.fromOsType = OS_TYPE_MOBILE;
        setMsgText(msg.fromId, msg.fromIdLen, std::string("sam@m.xcorp"));
        return msg;
    }
    static send_result result(const std::string& userId, uint32_t code) {
        send_result r;
        setMsgText(r.userId, r.userIdLen, userId);
        r.sendResultCode = code;
        return r;
    }
};

TEST_F(SendStateTaskTest, KeepsTheMessageFieldsAndResultsInArrivalOrder) {
    const msg_info msg = message(5);
    store().addSendResult(&msg, result("a", SEND_RESULT_SUCCESS));
    store().addSendResult(&msg, result("b", SEND_RESULT_NO_SESSION));

    const auto got = store().getSendResults();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(3u, got[0].roomId);
    EXPECT_EQ(5u, got[0].msgNum);
    EXPECT_EQ(8u, got[0].trid);
    EXPECT_EQ(1234u, got[0].msgTime);
    EXPECT_EQ(OS_TYPE_MOBILE, got[0].fromOsType);
    EXPECT_EQ("sam@m.xcorp", got[0].fromId);
    EXPECT_EQ("b", std::string(msgText(got[1].result.userId, got[1].result.userIdLen)));
    EXPECT_EQ(SEND_RESULT_NO_SESSION, got[1].result.sendResultCode);
}

TEST_F(SendStateTaskTest, FullStoreDropsTheOldestFirst) {
    msg_info msg = message(0);
    const send_result delivered = result("a", SEND_RESULT_SUCCESS);
    for (uint32_t i = 0; i <= SendStateTask::kMaxKeptResults; ++i) {
        msg.msgNum = i;
        store().addSendResult(&msg, delivered);
    }
    const auto got = store().getSendResults();
    ASSERT_EQ(SendStateTask::kMaxKeptResults, got.size());
    EXPECT_EQ(1u, got.front().msgNum);
    EXPECT_EQ(1u, store().droppedCount());
}
