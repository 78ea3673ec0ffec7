// The room loading thread's pacing: the first page at once, the next page as
// soon as the previous one was stored, a failed page asked for again after
// was_timeout_sec + 5 ticks, and the end once loading is complete. Job starts
// go to the loop, never run on the thread itself.

#include "tolvex/task/RoomInitTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "LoopQueue.h"
#include "tolvex/room/RoomManager.h"

class RoomInitTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        RoomManager& rooms = RoomManager::getInst();
        rooms.resetRoomInit();
        rooms.setCallNextRoomListAvailable(true);
        rooms.setMaxLoadedRoomId(0);
        // Each tick is counted instead of slept, so the retry spacing is
        // exact and the test does not wait for real seconds.
        task().setSleeper([this] {
            ++m_ticks;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return true;
        });
        task().setWasTimeoutFunction([] { return 1; });
    }
    void TearDown() override {
        task().stop();
        task().setJobStarter({});
        task().setSleeper({});
        task().setWasTimeoutFunction({});
        RoomManager::getInst().setRoomInitComplete();
    }

    static RoomInitTask& task() { return RoomInitTask::getInstance(); }

    // Records the tick of every page request; react() plays the WAS's part.
    void recordStarts(std::function<void(size_t call)> react) {
        task().setJobStarter([this, react = std::move(react)] {
            size_t call;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_startTicks.push_back(m_ticks.load());
                call = m_startTicks.size();
            }
            react(call);
        });
    }
    std::vector<int> startTicks() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_startTicks;
    }
    template <typename Pred>
    static bool waitUntil(Pred pred) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::atomic<int> m_ticks{0};
    std::mutex m_mutex;
    std::vector<int> m_startTicks;  // guarded by m_mutex
};

TEST_F(RoomInitTaskTest, FailedPageIsAskedForAgainAfterWasTimeoutPlusFiveTicks) {
    recordStarts([](size_t) {});  // the WAS never answers
    ASSERT_TRUE(task().start());
    ASSERT_TRUE(waitUntil([&] { return startTicks().size() >= 3; }));
    task().stop();
    const std::vector<int> ticks = startTicks();
    EXPECT_EQ(0, ticks[0]);
    EXPECT_EQ(6, ticks[1]);
    EXPECT_EQ(12, ticks[2]);
    EXPECT_FALSE(RoomManager::getInst().isRoomInitComplete());
}

TEST_F(RoomInitTaskTest, StoredPageWakesTheThreadForTheNextOneAtOnce) {
    task().setSleeper({});  // real one-second looks
    recordStarts([](size_t call) {
        RoomManager& rooms = RoomManager::getInst();
        if (call < 20) {
            rooms.setCallNextRoomListAvailable(true);  // a page with rows
            task().pageStored();
        } else {
            rooms.setRoomInitComplete();  // the empty page
        }
    });
    ASSERT_TRUE(task().start());
    // Twenty pages a look apart would take twenty seconds.
    ASSERT_TRUE(waitUntil([&] { return task().finished(); }));
    EXPECT_EQ(20u, startTicks().size());
}

TEST_F(RoomInitTaskTest, ThreadAsksForNothingOnceLoadingIsComplete) {
    recordStarts([](size_t) {});
    RoomManager::getInst().setRoomInitComplete();
    ASSERT_TRUE(task().start());
    ASSERT_TRUE(waitUntil([&] { return task().finished(); }));
    EXPECT_TRUE(startTicks().empty());
}

TEST_F(RoomInitTaskTest, JobStartIsPostedToTheLoopWithThePageFlagCleared) {
    LoopQueue loop;
    std::atomic<int> ran{0};
    // The default starter posts to the loop; the posted work here stands in
    // for callRoomInfo() and runs on this (the loop's) thread.
    ASSERT_TRUE(task().start());
    ASSERT_TRUE(waitUntil([&] {
        ran += static_cast<int>(loop.drain());
        return ran.load() >= 1;
    }));
    EXPECT_FALSE(RoomManager::getInst().getCallNextRoomListAvailable());
    task().stop();
    loop.drain();
}
