// The process-wide room registry: what a lost connection changes, and a
// worker walking it while the loop updates it.

#include "tolvex/room/RoomManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "tolvex/util/ChatCodes.h"

// The registry, emptied around each test.
class RoomManagerTest : public ::testing::Test {
protected:
    void SetUp() override { rooms().removeAllRooms(); }
    void TearDown() override { rooms().removeAllRooms(); }

    static RoomManager& rooms() { return RoomManager::getInst(); }
    // A room of tenant "x.com" whose members joined.
    static void openRoomWith(uint32_t roomId, std::initializer_list<const char*> members) {
        rooms().addRoom(roomId, kAlice);
        for (const char* id : members) {
            rooms().addRoomUser(roomId, id, "name");
            rooms().joinUser(roomId, id);
        }
    }

    static constexpr const char* kAlice = "alice@mail.x.com";
    static constexpr const char* kBob = "bob@mail.x.com";
};

TEST_F(RoomManagerTest, LostConnectionMarksAJoinedMemberButNeverRevivesOneWhoLeft) {
    openRoomWith(5, {kAlice, kBob});
    rooms().getRoomUser(5, kAlice)->setLastJoinOsType(OS_TYPE_MOBILE);
    rooms().setSessionClosed(5, kAlice);
    EXPECT_EQ(JOIN_SESSION_CLOSE, rooms().getRoomUser(5, kAlice)->getJoinState());
    EXPECT_EQ(0, rooms().getLastJoinOsType(5, kAlice));
    EXPECT_EQ(1u, rooms().getMemberCount(5, kAlice));

    rooms().leaveUser(5, kBob);
    rooms().setSessionClosed(5, kBob);
    EXPECT_EQ(JOIN_LEFT, rooms().getRoomUser(5, kBob)->getJoinState());
}

// A worker walks the registry while the loop adds rooms and takes numbers;
// ThreadSanitizer reports any access outside the lock.
TEST_F(RoomManagerTest, WorkerWalkAndLoopUpdatesDoNotRace) {
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            for (const room_key& key : rooms().getRoomList()) (void)key;
            rooms().recheckDueRooms(UINT32_MAX - 1, [](const Room& room) { return room.getLastActionTime(); });
            (void)rooms().getMsgResultSeq(1, kAlice);
        }
    });
    for (uint32_t id = 1; id <= 200; ++id) {
        openRoomWith(id, {kAlice});
        rooms().getNextMsgNumber(id, kAlice);
        rooms().updateActionTime(id, kAlice, 0);
    }
    stop = true;
    worker.join();
    EXPECT_EQ(200u, rooms().roomCount());
}
