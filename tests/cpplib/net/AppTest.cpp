#include "net/App.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cpputil/Trace.h"
#include "support/LoopDriver.h"

namespace {

class TestApp : public App {
public:
    void signalEvent(int signo) override {
        signals.push_back(signo);
        App::signalEvent(signo);
    }
    std::vector<int> signals;
};

class AppTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { ASSERT_EQ(0, m_app.init(GetParam().c_str())); }
    void TearDown() override { m_app.exit(); }

    bool runUntil(const std::function<bool()>& pred) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            m_app.runOnce(1);
        }
        return true;
    }

    TestApp m_app;
};

TEST_P(AppTest, TaskPostedFromAnotherThreadRunsOnTheLoopAndCanStopIt) {
    std::thread::id ranOn;
    std::thread worker([&] {
        m_app.post([&] {
            ranOn = std::this_thread::get_id();
            m_app.stop();
        });
    });
    m_app.run(1);
    worker.join();
    EXPECT_EQ(std::this_thread::get_id(), ranOn);
}

TEST_P(AppTest, UserSignalIsAppliedOnTheLoopAndTwoRestoreTheTrace) {
    g_trace.off();
    ::raise(SIGUSR1);
    EXPECT_FALSE(g_trace.isOn()) << "the handler itself toggled the trace";
    ASSERT_TRUE(runUntil([&] { return m_app.signals.size() == 1; }));
    EXPECT_TRUE(g_trace.isOn());

    ::raise(SIGUSR1);
    ::raise(SIGUSR1);
    ASSERT_TRUE(runUntil([&] { return m_app.signals.size() == 3; }));
    EXPECT_TRUE(g_trace.isOn());
    g_trace.off();
}

INSTANTIATE_TEST_SUITE_P(AllPollers, AppTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
