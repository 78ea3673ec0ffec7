#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "support/TempDir.h"
#include "tolvex/util/Globals.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

// The process-wide registry, emptied around each test, with the logs in a
// temporary directory so the lines it writes can be read back.
class RoomManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_Logger.init(m_dir.path().c_str(), "zpx_test", REOPEN_DD);
        g_FormatLogger.init(m_dir.path().c_str(), "chat_test", REOPEN_DD);
        rooms().removeAllRooms();
    }
    void TearDown() override {
        rooms().removeAllRooms();
        g_Logger.close();
        g_FormatLogger.close();
    }

    static RoomManager& rooms() { return RoomManager::getInst(); }
    std::string chatLog() const { return readLog("chat_test"); }
    std::string commandLog() const { return readLog("zpx_test"); }

    // A room of tenant "x.com" whose members joined.
    void openRoomWith(uint32_t roomId, std::initializer_list<const char*> members) {
        rooms().addRoom(roomId, kAlice);
        for (const char* id : members) {
            rooms().addRoomUser(roomId, id, "name");
            rooms().joinUser(roomId, id);
        }
    }

    static constexpr const char* kAlice = "alice@mail.x.com";
    static constexpr const char* kBob = "bob@mail.x.com";
    static constexpr const char* kOtherTenantAlice = "alice@mail.y.com";

private:
    std::string readLog(const std::string& head) const {
        const std::string name =
            head == "chat_test" ? g_FormatLogger.fileName() : g_Logger.fileName();
        if (name.empty()) return "";
        return m_dir.read(name.substr(m_dir.path().size() + 1));
    }

    TempDir m_dir;
};

TEST_F(RoomManagerTest, AddRoomLogsItsTenantAndIsIdempotent) {
    rooms().addRoom(7, kAlice);
    rooms().addRoom(7, kBob);
    EXPECT_EQ(1u, rooms().roomCount());
    EXPECT_NE(std::string::npos, commandLog().find("ROOM_ADD:7,x.com"));
    Room* room = rooms().getRoom(7, kBob);
    ASSERT_NE(nullptr, room);
    EXPECT_EQ("x.com", room->getTenantId());
}

TEST_F(RoomManagerTest, JoinSequenceLookupForAMissingRoom) {
    EXPECT_EQ(JOIN_SEQ_ERROR_NOT_EXIST_ROOM, rooms().getUserJoinSeq(99, kAlice));
    openRoomWith(99, {kAlice});
    EXPECT_EQ(1, rooms().getUserJoinSeq(99, kAlice));
    rooms().leaveUser(99, kAlice);
    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, rooms().getUserJoinSeq(99, kAlice));
    EXPECT_EQ(JOIN_SEQ_ERROR_NOT_EXIST_USER, rooms().getUserJoinSeq(99, kBob));
}

TEST_F(RoomManagerTest, MissingRoomOrMemberGivesTheDefaults) {
    EXPECT_EQ(0u, rooms().getNextMsgNumber(1, kAlice));
    EXPECT_EQ(0u, rooms().getMemberCount(1, kAlice));
    EXPECT_EQ(0u, rooms().getMsgResultSeq(1, kAlice));
    EXPECT_EQ(0u, rooms().getPushAlarmCount(1, kAlice));
    EXPECT_EQ(OS_TYPE_PC, rooms().getLastJoinOsType(1, kAlice));
    EXPECT_EQ(OS_TYPE_PC, rooms().getLastSendActionOsType(1, kAlice));
    EXPECT_FALSE(rooms().alreadyJoinedUser(1, kAlice));
    EXPECT_FALSE(rooms().isActiveMember(1, kAlice));
    rooms().joinUser(1, kAlice);  // nothing to do, nothing created
    rooms().increasePushAlarmCount(1, kAlice);
    EXPECT_EQ(0u, rooms().roomCount());
}

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

TEST_F(RoomManagerTest, ActionTimeZeroMeansNow) {
    openRoomWith(6, {kAlice});
    rooms().updateActionTime(6, kAlice, 1000);
    EXPECT_TRUE(rooms().getRoom(6, kAlice)->isOld(1));
    rooms().updateActionTime(6, kAlice, 0);
    EXPECT_FALSE(rooms().getRoom(6, kAlice)->isOld(1));
}

TEST_F(RoomManagerTest, LoadedRowsMakeTheRoomTakeTheirTimeAndOnlyRaiseItsCounters) {
    auto loaded = [](const char* id) {
        auto user = std::make_unique<User>(id, "name");
        user->setJoinSeq(12);
        return user;
    };
    rooms().loadMember(8, ROOM_TYPE_GROUP, loaded(kBob), 30, 5, 1000);
    EXPECT_TRUE(rooms().getRoom(8, kAlice)->isOld(1));
    rooms().loadMember(8, ROOM_TYPE_GROUP, loaded(kAlice), 20, 4, 0);  // 0: active now
    EXPECT_FALSE(rooms().getRoom(8, kAlice)->isOld(1));
    EXPECT_EQ(ROOM_TYPE_GROUP, rooms().getRoom(8, kAlice)->getRoomType());
    EXPECT_EQ(31u, rooms().getNextMsgNumber(8, kAlice));
    EXPECT_EQ(12, rooms().getUserJoinSeq(8, kAlice));
}

TEST_F(RoomManagerTest, ClosingARoomWritesItsEndLineAndForgetsIt) {
    openRoomWith(9, {kAlice, kBob});
    EXPECT_TRUE(rooms().closeRoom(ChatUtil::makeRoomKey(9, kAlice), "OLD,10080"));
    EXPECT_EQ(nullptr, rooms().getRoom(9, kAlice));
    EXPECT_FALSE(rooms().closeRoom(ChatUtil::makeRoomKey(9, kAlice), "again"));
    const std::string log = chatLog();
    EXPECT_NE(std::string::npos, log.find("]:S:<>:9:-1:ROOM_END::NONE:SUCC:OLD,10080\n")) << log;
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
