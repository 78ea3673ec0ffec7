// One room: when it counts as idle, and how loaded records merge with live
// members.

#include "tolvex/room/Room.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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

TEST_F(RoomTest, OldOnlyAfterWholeMinutesAndNeverForZero) {
    m_room.updateLastActionTime(1000000);
    EXPECT_FALSE(m_room.isOld(0, 1000000 + 100000));
    EXPECT_FALSE(m_room.isOld(-5, 1000000 + 100000));
    EXPECT_FALSE(m_room.isOld(10, 1000000 + 599));
    EXPECT_TRUE(m_room.isOld(10, 1000000 + 600));
    EXPECT_FALSE(m_room.isOld(1, 1000000 - 3600));  // a clock that went back is not idle time
}

TEST_F(RoomTest, LoadedRecordNeverReplacesANewerMemberButRaisesTheJoinCounter) {
    add("a");
    add("b");
    m_room.joinUser("a");  // a: seq 1
    m_room.leaveUser("a");
    m_room.joinUser("a");  // a: seq 3
    m_room.setUser(loaded("a", 2, JOIN_LEFT));
    EXPECT_EQ(JOIN_JOIN, stateOf("a"));
    EXPECT_EQ(3u, joinSeqOf("a"));

    m_room.setUser(loaded("c", 40, JOIN_JOIN));
    EXPECT_EQ(JOIN_JOIN, stateOf("c"));
    add("d");
    EXPECT_EQ(41u, joinSeqOf("d"));
    m_room.setUser(loaded("e", 7, JOIN_INVITED));
    EXPECT_EQ(41u, m_room.getJoinSeqNumber());
}
