#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tolvex/room/Room.h"
#include "tolvex/util/ChatCodes.h"

// One room of tenant "x.com", with helpers that speak membership.
class RoomTest : public ::testing::Test {
protected:
    Room m_room{100, "x.com"};

    void add(const std::string& id) { m_room.addUser(id, id + "-name"); }
    uint32_t stateOf(const std::string& id) const { return m_room.getUser(id)->getJoinState(); }
    uint32_t joinSeqOf(const std::string& id) const { return m_room.getUser(id)->getJoinSeq(); }
    // A record as room loading makes it.
    static std::unique_ptr<User> loaded(const std::string& id, uint32_t joinSeq, uint32_t state) {
        auto user = std::make_unique<User>(id, "loaded");
        user->setJoinSeq(joinSeq);
        user->setJoinState(state);
        return user;
    }
};

TEST_F(RoomTest, AddedUsersAreInvitedWithIncreasingJoinSequences) {
    add("a");
    add("b");
    EXPECT_EQ(JOIN_INVITED, stateOf("a"));
    EXPECT_EQ(1u, joinSeqOf("a"));
    EXPECT_EQ(2u, joinSeqOf("b"));
    EXPECT_EQ(2u, m_room.getActiveMemberCount());
}

TEST_F(RoomTest, AddingAnActiveMemberChangesNothing) {
    add("a");
    m_room.joinUser("a");
    add("a");
    EXPECT_EQ(JOIN_JOIN, stateOf("a"));
    EXPECT_EQ(1u, joinSeqOf("a"));
    EXPECT_EQ(1u, m_room.getJoinSeqNumber());
}

TEST_F(RoomTest, AddingAUserWhoLeftMakesANewInvitedRecord) {
    add("a");
    add("b");
    m_room.leaveUser("a");
    add("a");
    EXPECT_EQ(JOIN_INVITED, stateOf("a"));
    EXPECT_EQ(3u, joinSeqOf("a"));
}

TEST_F(RoomTest, JoiningAfterLeavingTakesTheNextJoinSequence) {
    add("a");
    add("b");
    m_room.joinUser("a");
    m_room.leaveUser("a");
    EXPECT_EQ(1u, joinSeqOf("a"));  // leaving keeps the sequence
    m_room.joinUser("a");
    EXPECT_EQ(JOIN_JOIN, stateOf("a"));
    EXPECT_EQ(3u, joinSeqOf("a"));
}

TEST_F(RoomTest, JoiningAnUnknownUserIsIgnored) {
    m_room.joinUser("ghost");
    EXPECT_FALSE(m_room.isMember("ghost"));
    EXPECT_EQ(0u, m_room.getActiveMemberCount());
}

TEST_F(RoomTest, JoinSequenceLookupTellsAbsentAndLeftApart) {
    add("a");
    add("b");
    m_room.leaveUser("b");
    EXPECT_EQ(1, m_room.getUserJoinSeq("a"));
    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, m_room.getUserJoinSeq("b"));
    EXPECT_EQ(JOIN_SEQ_ERROR_NOT_EXIST_USER, m_room.getUserJoinSeq("c"));
    EXPECT_TRUE(m_room.isLeftMember("b"));
    EXPECT_FALSE(m_room.isActiveMember("b"));
    EXPECT_TRUE(m_room.isMember("b"));
}

TEST_F(RoomTest, LeaveClearsDeviceKindsAndPushCount) {
    add("a");
    User* a = m_room.getUser("a");
    a->setLastJoinOsType(OS_TYPE_MOBILE);
    a->setLastSendActionOsType(OS_TYPE_MOBILE);
    a->increasePushAlarmCount();
    m_room.leaveUser("a");
    EXPECT_EQ(0, a->getLastJoinOsType());
    EXPECT_EQ(0, a->getLastSendActionOsType());
    EXPECT_EQ(0u, a->getPushAlarmCount());
}

TEST_F(RoomTest, MessageNumbersNeverGoBack) {
    for (int i = 0; i < 9; ++i) m_room.getNextMsgSeq();
    m_room.setMaxMsgSeqNum(5);
    EXPECT_EQ(9u, m_room.getCurrentMsgNumber());
    EXPECT_EQ(10u, m_room.getNextMsgSeq());
    m_room.setMaxMsgSeqNum(20);
    EXPECT_EQ(21u, m_room.getNextMsgSeq());
}

TEST_F(RoomTest, ResultSequenceCountsOnItsOwn) {
    m_room.getNextMsgSeq();
    EXPECT_EQ(1u, m_room.getMsgResultSequence());
    EXPECT_EQ(2u, m_room.getMsgResultSequence());
    EXPECT_EQ(1u, m_room.getCurrentMsgNumber());
}

TEST_F(RoomTest, CoupleRoomBecomesGroupWithAThirdMemberEvenIfThatMemberLeft) {
    m_room.setRoomType(ROOM_TYPE_COUPLE);
    add("a");
    add("b");
    EXPECT_FALSE(m_room.isGroupRoom());
    add("c");
    m_room.leaveUser("c");
    EXPECT_TRUE(m_room.isGroupRoom());
}

TEST_F(RoomTest, OldOnlyAfterWholeMinutesAndNeverForZero) {
    m_room.updateLastActionTime(1000000);
    EXPECT_FALSE(m_room.isOld(0, 1000000 + 100000));
    EXPECT_FALSE(m_room.isOld(-5, 1000000 + 100000));
    EXPECT_FALSE(m_room.isOld(10, 1000000 + 599));
    EXPECT_TRUE(m_room.isOld(10, 1000000 + 600));
    EXPECT_FALSE(m_room.isOld(1, 1000000 - 3600));  // a clock that went back is not idle time
}

TEST_F(RoomTest, LostConnectionKeepsTheMemberActive) {
    add("a");
    m_room.joinUser("a");
    m_room.getUser("a")->setJoinState(JOIN_SESSION_CLOSE);
    m_room.checkActiveUser();
    EXPECT_TRUE(m_room.isActiveMember("a"));
}

TEST_F(RoomTest, ActiveUserListSkipsLeftMembersInIdOrder) {
    add("c");
    add("a");
    add("b");
    m_room.leaveUser("b");
    const std::vector<User*> users = m_room.getActiveUserList();
    ASSERT_EQ(2u, users.size());
    EXPECT_EQ("a", users[0]->getUserId());
    EXPECT_EQ("c", users[1]->getUserId());
}

TEST_F(RoomTest, LoadedRecordNeverReplacesANewerMember) {
    add("a");
    add("b");
    m_room.joinUser("a");  // a: seq 1
    m_room.leaveUser("a");
    m_room.joinUser("a");  // a: seq 3
    m_room.setUser(loaded("a", 2, JOIN_LEFT));
    EXPECT_EQ(JOIN_JOIN, stateOf("a"));
    EXPECT_EQ(3u, joinSeqOf("a"));
}

TEST_F(RoomTest, LoadedRecordRaisesTheJoinCounter) {
    m_room.setUser(loaded("a", 40, JOIN_JOIN));
    EXPECT_EQ(JOIN_JOIN, stateOf("a"));
    EXPECT_EQ(1u, m_room.getActiveMemberCount());
    add("b");
    EXPECT_EQ(41u, joinSeqOf("b"));
    m_room.setUser(loaded("c", 7, JOIN_INVITED));
    EXPECT_EQ(41u, m_room.getJoinSeqNumber());
}
