#pragma once
// Drives the real event loop in tests: a scoped poller installed as
// g_pPoller, runUntil() for condition-with-deadline waits, and fixture bases
// that set both up. Test thread only.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

class Poller;

// Runs short poller passes (plus the timer check) until pred holds or
// timeoutMs have passed; true when pred held. Needs g_pPoller.
bool runUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// Creates the named poller with its wake-up pipe and installs it as
// g_pPoller for its lifetime; shuts it down and clears g_pPoller after.
class ScopedPoller {
public:
    explicit ScopedPoller(const std::string& name);
    ScopedPoller(const ScopedPoller&) = delete;
    ScopedPoller& operator=(const ScopedPoller&) = delete;
    ~ScopedPoller();

    Poller* get() const { return m_poller.get(); }

private:
    std::unique_ptr<Poller> m_poller;
};

// Base of fixtures that drive one poller, epoll unless pollerName() says
// otherwise. SIGPIPE is ignored so a write to a closed peer fails with
// EPIPE instead of ending the test binary.
class LoopFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual std::string pollerName() const { return "epoll"; }
    bool runUntil(const std::function<bool()>& pred, int timeoutMs = 5000) { return ::runUntil(pred, timeoutMs); }

    std::unique_ptr<ScopedPoller> m_loop;
};

// The same, run once per poller name:
//   INSTANTIATE_TEST_SUITE_P(AllPollers, MyTest, ::testing::ValuesIn(kPollerNames), pollerTestName);
class LoopParamFixture : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    void TearDown() override;
    bool runUntil(const std::function<bool()>& pred, int timeoutMs = 5000) { return ::runUntil(pred, timeoutMs); }

    std::unique_ptr<ScopedPoller> m_loop;
};

inline const std::string kPollerNames[] = {"select", "poll", "epoll"};

inline std::string pollerTestName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}
