#include "net/LoopTaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cpputil/ErrorLog.h"
#include "poller/Poller.h"
#include "support/LoopDriver.h"

namespace {

class LoopTaskQueueTest : public LoopParamFixture {
protected:
    void SetUp() override {
        LoopParamFixture::SetUp();
        m_queue.setPoller(g_pPoller);
    }
    void TearDown() override {
        m_queue.setPoller(nullptr);
        LoopParamFixture::TearDown();
    }

    LoopTaskQueue m_queue;
};

// Tasks run in post order; one posted by a task waits for the next drain.
// Each task that throws leaves one error line and the others still run.
TEST_P(LoopTaskQueueTest, TasksRunInPostOrderAndThrowingOnesAreReported) {
    std::vector<std::string> lines;
    errorlog::setSink([&](const std::string& line) { lines.push_back(line); });
    std::vector<int> order;
    m_queue.post([&] { order.push_back(1); });
    m_queue.post([] { throw std::runtime_error("task failed"); });
    m_queue.post([&] {
        order.push_back(2);
        m_queue.post([&] { order.push_back(3); });
    });
    m_queue.post([] { throw 42; });
    EXPECT_EQ(4u, m_queue.drain());
    EXPECT_EQ((std::vector<int>{1, 2}), order);
    EXPECT_EQ(1u, m_queue.drain());
    errorlog::setSink({});
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    EXPECT_EQ((std::vector<std::string>{"posted task threw: task failed", "posted task threw a non-standard exception"}),
              lines);
}

TEST_P(LoopTaskQueueTest, PostFromAnotherThreadWakesALongWait) {
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    std::thread worker([&] {
        m_queue.post([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
    });
    // Ready (0), not timed out (EAGAIN): the post cut the wait short.
    EXPECT_EQ(0, g_pPoller->waitAndDispatchEvents(5000));
    worker.join();
    m_queue.drain();
    EXPECT_TRUE(ran);
    EXPECT_EQ(std::this_thread::get_id(), ranOn);
}

TEST_P(LoopTaskQueueTest, PostsFromManyThreadsAllRunOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250;
    std::atomic<bool> go{false};
    int ran = 0;  // touched by the loop thread only
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) m_queue.post([&] { ++ran; });
        });
    go = true;
    EXPECT_TRUE(runUntil([&] {
        m_queue.drain();
        return ran == kThreads * kPerThread;
    }));
    for (auto& w : workers) w.join();
    m_queue.drain();
    EXPECT_EQ(kThreads * kPerThread, ran);
}

INSTANTIATE_TEST_SUITE_P(AllPollers, LoopTaskQueueTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
