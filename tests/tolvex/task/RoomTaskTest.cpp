// The idle-room task: which rooms it picks, that the loop closes them only
// after checking again, what a close leaves behind (chat-log end line, no
// ACK or session entries, one end-room request), and its thread's first
// wait and stop.

#include "tolvex/task/RoomTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "LoopQueue.h"
#include "cpputil/MicroTimer.h"
#include "support/FakeWas.h"
#include "support/LoopDriver.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/ack/AckFixture.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/session/ChatSessionDummy.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatUtil.h"

namespace {

constexpr uint32_t kNow = 2000000000;
constexpr uint32_t kMinute = 60;
const char* const kEndRoomPage = "/was/endroom";

}  // namespace

class RoomTaskTest : public AckFixture {
protected:
    void SetUp() override {
        AckFixture::SetUp();  // clears the loop sink, so the queue comes after it
        m_queue = std::make_unique<LoopQueue>();
        m_loop = std::make_unique<ScopedPoller>("epoll");
        const std::string address = m_was.address();
        g_was.convert2WasInfo(&address, 1);
        g_was.setSize(1);
        ConfigValues settings;
        settings.service_ip = "10.1.2.3";
        settings.was_endroom = kEndRoomPage;
        QuillonSettings::setForTests(&settings);
        JobHandler::setWaitSecOverride(2);
        // Timers start from the loop's last clock reading, which a running
        // loop renews every pass; here the last one may be seconds old, and
        // the end-room job's wait would run out at once.
        MicroTimer::getInst().check2();

        RoomTask& task = RoomTask::getInstance();
        task.clearTimeouts();
        task.setNowFunction([this] { return m_now.load(); });
    }
    void TearDown() override {
        RoomTask& task = RoomTask::getInstance();
        task.stop();
        task.setNowFunction({});
        task.setFirstPassDelay(std::chrono::seconds(180));
        task.setCycleInterval(std::chrono::seconds(1));
        task.setMinuteSeconds(0);
        task.clearTimeouts();
        for (auto& [roomId, userId, session] : m_sessions) {
            SessionContainer::getInstance().removeSession(roomId, userId, session);
            session->setExpired();
        }
        for (const room_key& key : m_containerRooms) SessionContainer::getInstance().clearRoom(key);
        EXPECT_TRUE(runUntil([] { return JobHandler::liveJobCount() == 0; }, 5000));
        JobHandler::setWaitSecOverride(0);
        QuillonSettings::setForTests(nullptr);
        m_loop.reset();
        m_queue.reset();
        AckFixture::TearDown();
    }

    // A room of sender and one more member, last active idleSec ago, with
    // (empty) session entries for both.
    void idleRoom(uint32_t roomId, const std::string& sender, const std::string& member, uint32_t idleSec) {
        openRoom(roomId, sender, {member});
        RoomManager::getInst().updateActionTime(roomId, sender, kNow - idleSec);
        SessionContainer::getInstance().addEmptySession(roomId, sender);
        SessionContainer::getInstance().addEmptySession(roomId, member);
        m_containerRooms.push_back(keyOf(roomId, sender));
    }

    // A connected session of userId listed in the room.
    void connectedSession(uint32_t roomId, const std::string& userId) {
        ChatSessionDummy* session = ChatSessionDummy::create();
        session->setProfile(userId, "name", roomId, OS_TYPE_PC);
        SessionContainer::getInstance().addSession(roomId, userId, session);
        m_sessions.push_back({roomId, userId, session});
    }

    static bool present(uint32_t roomId, const std::string& userId) {
        return RoomManager::getInst().getRoom(roomId, userId) != nullptr;
    }
    static room_key keyOf(uint32_t roomId, const std::string& userId) { return ChatUtil::makeRoomKey(roomId, userId); }
    static std::vector<uint32_t> idsOf(const std::vector<room_key>& keys) {
        std::vector<uint32_t> ids;
        for (const room_key& k : keys) ids.push_back(k.roomId);
        return ids;
    }
    static std::string endLine(uint32_t roomId, const std::string& reason) {
        return ":" + std::to_string(roomId) + ":-1:ROOM_END::NONE:SUCC:" + reason;
    }

    // Runs the loop until the fake WAS got count end-room requests and no
    // job is left.
    std::vector<FakeWas::Request> endRoomRequests(size_t count) {
        runUntil([&] { return m_was.requestsTo(kEndRoomPage).size() >= count; }, 3000);
        runUntil([] { return JobHandler::liveJobCount() == 0; }, 3000);
        return m_was.requestsTo(kEndRoomPage);
    }

    struct listed_t {
        uint32_t roomId;
        std::string userId;
        ChatSessionDummy* session;
    };

    std::unique_ptr<ScopedPoller> m_loop;
    FakeWas m_was;
    std::unique_ptr<LoopQueue> m_queue;
    std::atomic<uint32_t> m_now{kNow};
    std::vector<listed_t> m_sessions;
    std::vector<room_key> m_containerRooms;
};

TEST_F(RoomTaskTest, IdleRoomIsPickedByThePassAndClosedByTheLoop) {
    const std::string sam = "sam@m.xcorp";
    const std::string ann = "ann@m.xcorp";
    idleRoom(31, sam, ann, 10080 * kMinute + 59);
    idleRoom(32, sam, ann, 10080 * kMinute - 1);  // one second short of the default
    expectAcks(31, 4, sam, {{ann, {OS_TYPE_MOBILE}}});

    EXPECT_EQ(std::vector<uint32_t>{31}, idsOf(RoomTask::getInstance().iterateRooms(kNow)));
    EXPECT_TRUE(present(31, sam)) << "the pass only decides; the loop closes";

    EXPECT_EQ(1u, m_queue->drain());
    EXPECT_FALSE(present(31, sam));
    EXPECT_TRUE(present(32, sam));
    EXPECT_EQ(1, countOf(chatLog(), endLine(31, "OLD,10080"))) << chatLog();
    EXPECT_EQ(0u, remaining(31, ann, 4)) << "the room's awaited ACKs are forgotten";
    EXPECT_EQ(0u, AckManager::getInstance().pendingMessageCount());
    EXPECT_TRUE(SessionContainer::getInstance().getSessionList(31, sam, OS_TYPE_ALL).empty());
    EXPECT_EQ(2u, SessionContainer::getInstance().getSessionList(32, sam, OS_TYPE_ALL).size());

    const std::vector<FakeWas::Request> ends = endRoomRequests(1);
    ASSERT_EQ(1u, ends.size());
    EXPECT_EQ("31", ends[0].field("room_id"));
    EXPECT_EQ("xcorp", ends[0].field("tenant_id"));

    // Later passes find nothing more to do.
    EXPECT_TRUE(RoomTask::getInstance().iterateRooms(kNow).empty());
    EXPECT_EQ(0u, m_queue->drain());
}

TEST_F(RoomTaskTest, EachTenantHasItsOwnTimeoutAndTheFirstEntryCounts) {
    RoomTask& task = RoomTask::getInstance();
    task.setTimeoutMinute("daycorp", 1440);
    task.setTimeoutMinute("daycorp", 5);  // a second entry is ignored
    task.setTimeoutMinute("keepcorp", 0);
    task.setTimeoutMinute("negcorp", -10);
    EXPECT_EQ(1440, task.getTimeoutMinute("daycorp"));
    EXPECT_EQ(RoomTask::kDefaultTimeoutMinute, task.getTimeoutMinute("othercorp"));

    idleRoom(41, "a@m.daycorp", "b@m.daycorp", 1440 * kMinute);
    idleRoom(42, "a@m.daycorp", "b@m.daycorp", 1439 * kMinute);
    idleRoom(43, "a@m.keepcorp", "b@m.keepcorp", 4000000 * kMinute / 100);
    idleRoom(44, "a@m.negcorp", "b@m.negcorp", 4000000 * kMinute / 100);
    idleRoom(45, "a@m.othercorp", "b@m.othercorp", 10080 * kMinute);
    idleRoom(46, "a@m.othercorp", "b@m.othercorp", 1440 * kMinute);

    EXPECT_EQ((std::vector<uint32_t>{41, 45}), idsOf(task.iterateRooms(kNow)));
    m_queue->drain();
    EXPECT_EQ(1, countOf(chatLog(), endLine(41, "OLD,1440"))) << chatLog();
    EXPECT_EQ(1, countOf(chatLog(), endLine(45, "OLD,10080"))) << chatLog();
    for (uint32_t kept : {42u, 43u, 44u}) {
        const std::string tenant = kept == 42 ? "daycorp" : kept == 43 ? "keepcorp" : "negcorp";
        EXPECT_TRUE(present(kept, "a@m." + tenant)) << kept;
    }
    EXPECT_TRUE(present(46, "a@m.othercorp"));
    EXPECT_EQ(2u, endRoomRequests(2).size());
}

// A pass looks only at rooms come due; one filed for later is looked at
// again when its last action moves back (a reload) or its timeout shrinks.
TEST_F(RoomTaskTest, RoomFiledForLaterIsSeenWhenItsTimeMovesBackOrItsTimeoutShrinks) {
    RoomTask& task = RoomTask::getInstance();
    idleRoom(51, "a@m.xcorp", "b@m.xcorp", 0);
    idleRoom(52, "a@m.shortcorp", "b@m.shortcorp", 0);
    EXPECT_TRUE(task.iterateRooms(kNow).empty());
    RoomManager::getInst().updateActionTime(51, "a@m.xcorp", kNow - 20000 * kMinute);
    task.setTimeoutMinute("shortcorp", 1);
    EXPECT_EQ((std::vector<uint32_t>{51, 52}), idsOf(task.iterateRooms(kNow + kMinute)));
}

TEST_F(RoomTaskTest, LoopKeepsAPickedRoomThatGotASessionOrActivityMeanwhile) {
    const std::string sam = "sam@m.xcorp";
    idleRoom(61, sam, "ann@m.xcorp", 20000 * kMinute);
    idleRoom(62, sam, "ann@m.xcorp", 20000 * kMinute);
    idleRoom(63, sam, "ann@m.xcorp", 20000 * kMinute);
    EXPECT_EQ((std::vector<uint32_t>{61, 62, 63}), idsOf(RoomTask::getInstance().iterateRooms(kNow)));

    // Between the pass and the loop: a member connects to one room, another
    // room sees a message, the third is closed already.
    connectedSession(61, sam);
    RoomManager::getInst().updateActionTime(62, sam, kNow);
    ASSERT_TRUE(RoomTask::getInstance().closeIdleRoom(keyOf(63, sam), kNow));
    m_queue->drain();

    EXPECT_TRUE(present(61, sam));
    EXPECT_TRUE(present(62, sam));
    EXPECT_EQ(1, countOf(chatLog(), "ROOM_END")) << chatLog();
    EXPECT_EQ(1u, endRoomRequests(1).size()) << "one end-room request per closed room";
}

TEST_F(RoomTaskTest, ThreadWaitsItsFirstPassAndStopsDuringIt) {
    RoomTask& task = RoomTask::getInstance();
    idleRoom(81, "sam@m.xcorp", "ann@m.xcorp", 20000 * kMinute);
    task.setCycleInterval(std::chrono::milliseconds(5));

    task.setFirstPassDelay(std::chrono::hours(1));
    ASSERT_TRUE(task.start());
    EXPECT_TRUE(task.isRunning());
    // Passes 5 ms apart would have handed the room over long before this.
    EXPECT_FALSE(runUntil([&] { return m_queue->drain() > 0; }, 200)) << "nothing is judged during the first wait";
    const auto stopAt = std::chrono::steady_clock::now();
    task.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(5))
        << "stop() wakes the thread out of its first wait";
    EXPECT_FALSE(task.isRunning());
    EXPECT_TRUE(present(81, "sam@m.xcorp"));

    task.setFirstPassDelay(std::chrono::milliseconds(0));
    ASSERT_TRUE(task.start());
    EXPECT_TRUE(runUntil([&] {
        m_queue->drain();
        return !present(81, "sam@m.xcorp");
    }));
    task.stop();
    m_queue->drain();
    EXPECT_EQ(1, countOf(chatLog(), endLine(81, "OLD,20000"))) << chatLog();
    EXPECT_EQ(1u, endRoomRequests(1).size());
}
