// The idle-room task: which rooms a pass picks, that the loop closes them
// only after checking again, and what a close leaves behind (chat-log end
// line, no ACK or session entries, one end-room request).

#include "tolvex/task/RoomTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cpputil/MicroTimer.h"
#include "support/chat/ChatRoomFixture.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"

namespace {

constexpr uint32_t kNow = 2000000000;
constexpr uint32_t kMinute = 60;
const std::string kSam = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";

bool present(uint32_t roomId) {
    return RoomManager::getInst().getRoom(roomId, kSam) != nullptr;
}

}  // namespace

class RoomTaskTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_queue = std::make_unique<LoopQueue>();
        // Timers start from the loop's last clock reading, which a running
        // loop renews every pass; here the last one may be seconds old, and
        // the end-room job's wait would run out at once.
        MicroTimer::getInst().check2();
        RoomTask::getInstance().clearTimeouts();
        RoomTask::getInstance().setNowFunction([] { return kNow; });
    }
    void TearDown() override {
        RoomTask::getInstance().setNowFunction({});
        for (uint32_t roomId : m_rooms) SessionContainer::getInstance().clearRoom(roomId, kSam);
        m_queue.reset();
        ChatRoomFixture::TearDown();
    }

    // A room of kSam and kAnn, last active idleSec ago, with (empty) session
    // entries for both.
    void idleRoom(uint32_t roomId, uint32_t idleSec) {
        roomOf(roomId, {kSam, kAnn});
        RoomManager::getInst().updateActionTime(roomId, kSam, kNow - idleSec);
        SessionContainer::getInstance().addEmptySession(roomId, kSam);
        SessionContainer::getInstance().addEmptySession(roomId, kAnn);
        m_rooms.push_back(roomId);
    }
    static std::vector<uint32_t> pass() {
        std::vector<uint32_t> ids;
        for (const room_key& k : RoomTask::getInstance().iterateRooms(kNow)) ids.push_back(k.roomId);
        return ids;
    }

    std::unique_ptr<LoopQueue> m_queue;
    std::vector<uint32_t> m_rooms;
};

TEST_F(RoomTaskTest, IdleRoomIsPickedByThePassAndClosedByTheLoopAfterCheckingAgain) {
    idleRoom(31, 10080 * kMinute + 59);
    idleRoom(32, 10080 * kMinute - 1);  // one second short of the default
    idleRoom(33, 20000 * kMinute);
    expectAcks(31, 4, kSam, {{kAnn, {OS_TYPE_MOBILE}}});

    EXPECT_EQ((std::vector<uint32_t>{31, 33}), pass());
    EXPECT_TRUE(present(31)) << "the pass only decides; the loop closes";
    RoomManager::getInst().updateActionTime(33, kSam, kNow);  // a message between the pass and the loop

    m_queue->drain();
    EXPECT_FALSE(present(31));
    EXPECT_TRUE(present(32));
    EXPECT_TRUE(present(33));
    EXPECT_EQ(1, countOf(chatLog(), ":31:-1:ROOM_END::NONE:SUCC:OLD,10080")) << chatLog();
    EXPECT_EQ(1, countOf(chatLog(), "ROOM_END"));
    EXPECT_EQ(0u, AckManager::getInstance().pendingMessageCount()) << "the room's awaited ACKs are forgotten";
    EXPECT_TRUE(SessionContainer::getInstance().getSessionList(31, kSam, OS_TYPE_ALL).empty());
    EXPECT_EQ(2u, SessionContainer::getInstance().getSessionList(32, kSam, OS_TYPE_ALL).size());

    const std::vector<FakeWas::Request> ends = wasRequests(kEndRoomPage);
    ASSERT_EQ(1u, ends.size());
    EXPECT_EQ("31", ends[0].field("room_id"));
    EXPECT_EQ("xcorp", ends[0].field("tenant_id"));

    // Later passes find nothing more to do.
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ(0u, m_queue->drain());
}
