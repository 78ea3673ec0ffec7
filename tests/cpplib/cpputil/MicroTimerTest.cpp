#include "cpputil/MicroTimer.h"

#include <errno.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpputil/ErrorLog.h"

namespace {

// A receiver that records its firings and can run an action inside OnTimer.
class Receiver : public TimerEvent {
public:
    explicit Receiver(MicroTimer* timers = nullptr) : m_timers(timers) {}
    ~Receiver() override {
        if (m_timers) m_timers->killAll(this);
    }

    int OnTimer(int id, void*) override {
        m_fired.push_back(id);
        if (m_onFire) m_onFire(id);
        return 0;
    }

    std::vector<int> m_fired;
    std::function<void(int)> m_onFire;

private:
    MicroTimer* m_timers;
};

class MicroTimerTest : public ::testing::Test {
protected:
    // Registration takes the time of the last check, so a test "sets a timer
    // at t" by checking at t first.
    void setAt(long sec, TimerEvent* ev, int id, long cycle) {
        checkAt(sec);
        m_timers.setTimer(ev, id, cycle);
    }
    void checkAt(long sec, long usec = 0) { m_timers.check2At(timeval{sec, usec}); }

    MicroTimer m_timers;
};

// One item per receiver and id: setting it again restarts it with the new
// period; after a kill not yet swept a fresh item is made instead.
TEST_F(MicroTimerTest, SettingATimerAgainReplacesItUnlessItWasKilled) {
    Receiver r;
    setAt(0, &r, 1, 10);
    setAt(1, &r, 1, 2);
    EXPECT_EQ(1u, m_timers.size());
    checkAt(2);
    EXPECT_TRUE(r.m_fired.empty());  // restarted at 1 with period 2
    checkAt(3);
    EXPECT_EQ(std::vector<int>{1}, r.m_fired);

    ASSERT_TRUE(m_timers.killTimer(&r, 1));
    m_timers.setTimer(&r, 1, 0);
    EXPECT_EQ(2u, m_timers.size());
    checkAt(4);
    EXPECT_EQ((std::vector<int>{1, 1}), r.m_fired);
    EXPECT_EQ(1u, m_timers.size());
}

TEST_F(MicroTimerTest, TimerKilledInItsOwnCallbackNeverFiresAgain) {
    Receiver r;
    r.m_onFire = [&](int id) {
        EXPECT_TRUE(m_timers.killTimer(&r, id));
        EXPECT_FALSE(m_timers.killTimer(&r, id));
    };
    setAt(0, &r, 9, 0);
    checkAt(0);
    EXPECT_EQ(1u, r.m_fired.size());
    EXPECT_EQ(1u, m_timers.size());  // marked, not yet removed
    checkAt(1);
    EXPECT_EQ(1u, r.m_fired.size());
    EXPECT_EQ(0u, m_timers.size());
}

TEST_F(MicroTimerTest, WithinOneSecondOnlyCycleZeroTimersFireAndTheOthersWaitForTheNextSecond) {
    Receiver fast, slow, thrower;
    setAt(100, &slow, 1, 1);
    checkAt(100, 500000);
    m_timers.setTimer(&fast, 2, 0);
    checkAt(100, 600000);
    checkAt(100, 700000);
    EXPECT_EQ(2u, fast.m_fired.size());
    EXPECT_TRUE(slow.m_fired.empty());

    checkAt(101, 100);
    EXPECT_EQ(1u, slow.m_fired.size());
    EXPECT_EQ(3u, fast.m_fired.size());

    // A throw ends the walk with one line for the operator and errno
    // cleared; the timers behind it still fire at the next check, not a
    // second later.
    ASSERT_TRUE(m_timers.killTimer(&fast, 2));
    thrower.m_onFire = [](int) {
        errno = EINVAL;
        throw std::runtime_error("receiver failed");
    };
    m_timers.setTimer(&thrower, 3, 1);
    m_timers.setTimer(&fast, 4, 1);
    std::vector<std::string> lines;
    errorlog::setSink([&](const std::string& line) { lines.push_back(line); });
    EXPECT_NO_THROW(checkAt(102, 0));
    errorlog::setSink({});
    EXPECT_EQ((std::vector<std::string>{"timer threw: Invalid argument"}), lines);
    EXPECT_EQ(0, errno);
    EXPECT_EQ(2u, slow.m_fired.size());
    EXPECT_EQ(3u, fast.m_fired.size());
    checkAt(102, 1000);
    EXPECT_EQ((std::vector<int>{2, 2, 2, 4}), fast.m_fired);
}

// A callback may kill a later timer or destroy its receiver (whose
// destructor kills its timers); neither is called in that walk.
TEST_F(MicroTimerTest, TimersKilledByAnEarlierCallbackAreNotCalledInTheSameWalk) {
    Receiver killer, second;
    auto victim = std::make_unique<Receiver>(&m_timers);
    killer.m_onFire = [&](int) {
        m_timers.killTimer(&second, 2);
        victim.reset();
    };
    m_timers.setTimer(&killer, 1, 0);
    m_timers.setTimer(&second, 2, 0);
    m_timers.setTimer(victim.get(), 3, 0);
    m_timers.setTimer(victim.get(), 4, 0);
    checkAt(1);
    EXPECT_TRUE(second.m_fired.empty());
    EXPECT_EQ(nullptr, victim);
    EXPECT_EQ(1u, m_timers.size());
}

TEST_F(MicroTimerTest, ManyReceiversKeepTheirOwnTimersThroughKillsRearmsAndChecks) {
    std::vector<Receiver> receivers(300);
    for (Receiver& r : receivers) {
        m_timers.setTimer(&r, 1, 0);
        m_timers.setTimer(&r, 2, 0);
    }
    for (size_t i = 0; i < receivers.size(); ++i) {
        if (i % 3 == 0) {
            EXPECT_TRUE(m_timers.killTimer(&receivers[i], 2));
        } else if (i % 3 == 1) {
            m_timers.killAll(&receivers[i]);
        }
    }
    checkAt(1);
    // Re-arming after the killed items were swept creates fresh ones.
    for (size_t i = 0; i < receivers.size(); i += 3) m_timers.setTimer(&receivers[i], 2, 0);
    checkAt(2);

    for (size_t i = 0; i < receivers.size(); ++i) {
        const std::vector<int> expected = i % 3 == 0 ? std::vector<int>{1, 1, 2}
                                          : i % 3 == 1 ? std::vector<int>{}
                                                       : std::vector<int>{1, 2, 1, 2};
        EXPECT_EQ(expected, receivers[i].m_fired) << i;
    }
    EXPECT_EQ(2u * 100 + 2u * 100, m_timers.size());
}

}  // namespace
