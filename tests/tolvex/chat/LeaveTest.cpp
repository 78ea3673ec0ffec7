// Leave and force leave through real sessions on the test loop: the sessions
// that end, the registry afterwards, the log lines, and what the save and
// leave jobs post to the WAS.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/Replies.h"
#include "support/chat/ChatRoomFixture.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"

namespace {

const std::string C = "c@m.acme";
const std::string A = "a@m.acme";
const std::string B = "b@m.acme";

std::string leaveBody(uint32_t roomId, const std::string& userId, const std::string& name = "who") {
    return client::encode(client::LeaveRequest{roomId, userId, name, OS_TYPE_PC});
}

std::string forceLeaveBody(uint32_t roomId, const std::string& to) {
    return client::encode(client::ForceLeaveRequest{roomId, C, "Cee", OS_TYPE_PC, to, "who"});
}

}  // namespace

class LeaveTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
    }

    bool hasContainerEntry(const std::string& userId) const {
        return SessionContainer::getInstance().getSessionList(m_room, C, OS_TYPE_ALL).count(userId) > 0;
    }
    uint32_t msgNum() const { return RoomManager::getInst().getCurrentMsgNumber(m_room, C); }
    // Nothing was announced, numbered or sent to the WAS.
    void expectNothingAnnounced(ChatPeer& creator, uint32_t msgNumBefore) {
        EXPECT_TRUE(arrived(creator).empty());
        EXPECT_EQ(msgNumBefore, msgNum());
        for (const FakeWas::Request& saved : wasRequests(kSaveMsgPage)) EXPECT_NE("3", saved.field("msg_type"));
        EXPECT_TRUE(m_was.requestsTo(kLeavePage).empty());
    }

    uint32_t m_room = 0;
};

// ---- leave ----

// The leave comes over the member's PC connection: its mobile ends too.
TEST_F(LeaveTest, LeaveEndsEverySessionOfTheMemberAndIsSavedWithTheLeaverStillListed) {
    ChatPeer& creator = openRoom(m_room, C, {{A, "Ay"}});
    ChatPeer& pc = joined(m_room, A, OS_TYPE_PC, {&creator});
    ChatPeer& mobile = joined(m_room, A, OS_TYPE_MOBILE, {&creator});
    const uint32_t num = msgNum() + 1;

    pc.send(USER_LEAVE, leaveBody(m_room, A, "Ay"));
    for (ChatPeer* closed : {&pc, &mobile}) ASSERT_TRUE(waitClosed(*closed));
    EXPECT_TRUE(pc.inbox().empty());
    ASSERT_EQ(1u, arrived(creator).size());
    const auto notice = client::decodeUserLeaveAlarm(creator.take());
    ASSERT_TRUE(notice);

    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(m_room, A));
    EXPECT_FALSE(hasContainerEntry(A));
    EXPECT_EQ(1u, RoomManager::getInst().getMemberCount(m_room, C));
    EXPECT_NE(std::string::npos, commandLog().find("LEAVE:close other session:room_id=" + std::to_string(m_room) +
                                                   ":user_id=" + A + ":os_type=2"));
    EXPECT_EQ(std::to_string(notice->msgTime), wasRequestWith(kLeavePage, "user_id", A).field("time"));
    // Saved before the leave applies: the leaver is still a recipient.
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "msg_type", "3");
    EXPECT_EQ(std::to_string(num), saved.field("msg_seq"));
    EXPECT_EQ(A + "\t" + C, saved.field("recv_user_list"));
}

// An id over its limit is read as no id, which is not the member's own.
TEST_F(LeaveTest, LeaveIdOverItsLimitOnlyClosesTheSession) {
    ChatPeer& creator = openRoom(m_room, C, {{A, "Ay"}});
    ChatPeer& member = joined(m_room, A, OS_TYPE_PC, {&creator});
    const uint32_t before = msgNum();
    member.send(USER_LEAVE, leaveBody(m_room, std::string(257, 'a')));
    ASSERT_TRUE(waitClosed(member));
    EXPECT_TRUE(member.inbox().empty());
    EXPECT_NE(std::string::npos, commandLog().find("Input LEAVE_ID length = 257"));
    EXPECT_NE(std::string::npos, commandLog().find("SESSION_BIND: USER_LEAVE refused (another user)"));
    expectNothingAnnounced(creator, before);
    EXPECT_TRUE(RoomManager::getInst().isActiveMember(m_room, A));
}

TEST_F(LeaveTest, LeaveNameOverItsLimitIsDroppedAndTheLeaveGoesOn) {
    ChatPeer& creator = openRoom(m_room, C, {{A, "Ay"}});
    ChatPeer& member = joined(m_room, A, OS_TYPE_PC, {&creator});
    member.send(USER_LEAVE, leaveBody(m_room, A, std::string(257, 'n')));
    ASSERT_TRUE(waitClosed(member));
    EXPECT_NE(std::string::npos, commandLog().find("Input LEAVE_NAME length = 257"));
    ASSERT_EQ(1u, arrived(creator).size());
    // The id is read; the name and device kind stay empty.
    const auto notice = client::decodeUserLeaveAlarm(creator.take());
    ASSERT_TRUE(notice);
    EXPECT_EQ(A, notice->userId);
    EXPECT_EQ("", notice->nameInfo);
    EXPECT_EQ(0u, notice->osType);
    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(m_room, A));
}

// ---- force leave ----

TEST_F(LeaveTest, ForceLeaveWarnsTheRemovedFirstAndIsSavedWithoutThem) {
    ChatPeer& creator = openRoom(m_room, C, {{A, "Ay"}, {B, "Bee"}});
    ChatPeer& aPc = joined(m_room, A, OS_TYPE_PC, {&creator});
    ChatPeer& aMobile = joined(m_room, A, OS_TYPE_MOBILE, {&creator});
    joined(m_room, B, OS_TYPE_PC, {&creator, &aPc, &aMobile});

    creator.send(USER_FORCE_LEAVE, forceLeaveBody(m_room, A));
    ASSERT_TRUE(waitPackets(creator, 2));
    for (ChatPeer* removed : {&aPc, &aMobile}) {
        ASSERT_TRUE(waitClosed(*removed));
        ASSERT_EQ(2u, removed->inbox().size());
        EXPECT_EQ(USER_FORCE_LEAVE_ALARM, removed->take().code);
        EXPECT_EQ(USER_LEAVE_ALARM, removed->take().code);
    }

    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(m_room, A));
    EXPECT_FALSE(hasContainerEntry(A));
    const std::string r = std::to_string(m_room);
    EXPECT_NE(std::string::npos, chatLog().find("S:>>:" + r + ":-1:USER_FORCE_LEAVE:" + C + ":PC:SUCC:" + A));
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:" + r + ":-1:USER_FORCE_LEAVE_ALARM:" + A + ":MOBILE:SUCC:" + C));
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "msg_type", "3");
    EXPECT_EQ(A, saved.field("send_user_id"));
    EXPECT_EQ(B + "\t" + C, saved.field("recv_user_list"));
}

TEST_F(LeaveTest, ForceLeaveClosesASessionThatNeverSaidItsDeviceKind) {
    ChatPeer& creator = openRoom(m_room, C, {{A, "Ay"}});
    ChatPeer& member = joined(m_room, A, OS_TYPE_NONE, {&creator});

    creator.send(USER_FORCE_LEAVE, forceLeaveBody(m_room, A));
    ASSERT_TRUE(waitClosed(member)) << "the removed member's session stayed open";
    ASSERT_FALSE(member.inbox().empty());
    EXPECT_EQ(USER_FORCE_LEAVE_ALARM, member.inbox().front().code);
    EXPECT_FALSE(hasContainerEntry(A));
}
