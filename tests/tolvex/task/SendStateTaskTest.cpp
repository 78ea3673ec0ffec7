// The send-state task's steps: the result notices a sender receives
// (splitting, registration for the result ACK, slicing a big pass) and the
// clean-up of message copies.

#include "tolvex/task/SendStateTask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/Replies.h"
#include "support/chat/ChatRoomFixture.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/MsgText.h"

namespace {

constexpr uint32_t kRoom = 61;
const std::string kSender = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";
const std::string kBen = "ben@m.xcorp";
const std::string kCat = "cat@m.xcorp";

}  // namespace

class SendStateTaskTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        task().setNowFunction([this] { return m_now; });
    }
    void TearDown() override {
        task().setNowFunction({});
        ChatRoomFixture::TearDown();
    }

    static SendStateTask& task() { return SendStateTask::getInstance(); }

    // The sender's PC session in a room of the sender and members, joined in
    // this order (join sequences 1, 2, ...).
    ChatPeer& roomWith(const std::vector<std::string>& members) {
        std::vector<std::string> everyone{kSender};
        everyone.insert(everyone.end(), members.begin(), members.end());
        roomOf(kRoom, everyone);
        return listedAs(kSender, kRoom, OS_TYPE_PC);
    }

    // An outcome of message 7 (trid 31, time 1234) from the sender's PC.
    static void add(const std::string& userId, uint32_t code, uint16_t osType = OS_TYPE_PC,
                    const std::string& name = "", uint32_t msgNum = 7) {
        msg_info msg;
        msg.roomId = kRoom;
        msg.msgNum = msgNum;
        msg.trid = 31;
        msg.msgTime = 1234;
        msg.fromOsType = OS_TYPE_PC;
        setMsgText(msg.fromId, msg.fromIdLen, kSender);
        send_result r;
        setMsgText(r.userId, r.userIdLen, userId);
        setMsgText(r.userNameInfo, r.userNameInfoLen, name.empty() ? userId + "-name" : name);
        r.osType = osType;
        r.sendResultCode = code;
        task().addSendResult(keptMsgOf(msg), r);
    }

    // The notices the peer has received (a step pushes on this thread).
    std::vector<client::MsgResult> noticesAt(ChatPeer& peer) {
        std::vector<client::MsgResult> got;
        for (const client::Packet& p : arrived(peer)) {
            const auto notice = client::decodeMsgResult(p);
            EXPECT_TRUE(notice) << "not a whole MSG_RESULT: " << client::describe(p);
            if (notice) got.push_back(*notice);
        }
        peer.inbox().clear();
        return got;
    }
    std::vector<FakeWas::Request> updates() { return wasRequests(kUpdateMsgSendPage); }
    static std::string registeredFor(uint32_t resultSeq) {
        const send_result r = AckManager::getInstance().clearResultAckInfo(kRoom, kSender, 7, resultSeq);
        return std::string(msgText(r.userId, r.userIdLen));
    }

    uint32_t m_now = 1000;
};

TEST_F(SendStateTaskTest, OutcomesBeyondOneNoticeAreSplitIntoCompleteNoticesWithTheirOwnNumbers) {
    ChatPeer& sender = roomWith({});
    std::vector<std::string> ids;  // 510 bytes per outcome: 16 fit a notice
    for (int i = 0; i < 40; ++i) {
        ids.push_back("m" + std::to_string(100 + i) + std::string(238, 'x') + "@m.xcorp");
        add(ids.back(), SEND_RESULT_ACK_TIMEOUT, OS_TYPE_PC, std::string(250, 'n'));
    }
    task().doTask(1000);

    std::vector<std::string> listed;
    const std::vector<client::MsgResult> got = noticesAt(sender);
    ASSERT_EQ(3u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(i + 1, got[i].resultSeq) << "result number of notice " << i;
        EXPECT_EQ(i < 2 ? 16u : 8u, got[i].results.size());
        for (const client::result_entry_t& r : got[i].results) listed.push_back(r.userId);
    }
    EXPECT_EQ(ids, listed);
    // Each notice awaits its own ACK, under its first outcome.
    EXPECT_EQ(ids[0], registeredFor(1));
    EXPECT_EQ(ids[16], registeredFor(2));
    EXPECT_EQ(ids[32], registeredFor(3));
}

TEST_F(SendStateTaskTest, MessageCopyGoesAMinuteAfterItsLastOutcomeAndComesBackWithTheNext) {
    ChatPeer& sender = roomWith({kAnn});
    add(kAnn, SEND_RESULT_SUCCESS);
    task().doClearMsgInfo(5000);  // its outcome still waits for the notice
    EXPECT_EQ(1u, task().keptMsgInfoCount());
    task().doResponseToFromUser();

    m_now = 1029;
    add(kAnn, SEND_RESULT_ACK_TIMEOUT);
    task().doResponseToFromUser();
    task().doClearMsgInfo(1088);
    EXPECT_EQ(1u, task().keptMsgInfoCount());
    task().doClearMsgInfo(1089);
    EXPECT_EQ(0u, task().keptMsgInfoCount());

    add(kAnn, SEND_RESULT_SUCCESS);
    task().doResponseToFromUser();
    const std::vector<client::MsgResult> got = noticesAt(sender);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(7u, got[2].msgNum);
    EXPECT_EQ(31u, got[2].trid);
    EXPECT_EQ(1234u, got[2].msgTime);
    EXPECT_EQ(0, countOf(commandLog(), "msg_info is NULL"));
}

// A pass of thousands of notices leaves the loop to its sockets between
// slices, and still sends every notice once, in message order.
TEST_F(SendStateTaskTest, ABigPassOfNoticesGoesOutInSlicesInOrder) {
    ChatPeer& sender = roomWith({kAnn});
    LoopQueue loop;
    constexpr uint32_t kMessages = 3000;
    for (uint32_t n = 1; n <= kMessages; ++n) add(kAnn, SEND_RESULT_NO_SESSION, OS_TYPE_PC, "", n);
    task().doTask(1000);

    ASSERT_EQ(1u, loop.runQueued());
    std::vector<client::MsgResult> got = noticesAt(sender);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), kMessages) << "the whole pass ran as one task";
    loop.drain();
    ASSERT_TRUE(runUntil([&] {
        for (client::MsgResult& notice : noticesAt(sender)) got.push_back(std::move(notice));
        return got.size() >= kMessages;
    }));
    ASSERT_EQ(kMessages, got.size());
    for (uint32_t n = 1; n <= kMessages; ++n) ASSERT_EQ(n, got[n - 1].msgNum) << "notice " << n;
}
