#include "cpputil/MicroTimer.h"

#include <errno.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A receiver that records its firings and can run an action inside OnTimer.
class Receiver : public TimerEvent {
public:
    explicit Receiver(MicroTimer* timers = nullptr) : m_timers(timers) {}
    ~Receiver() override {
        if (m_timers) m_timers->killAll(this);
    }

    int OnTimer(int id, void* param) override {
        m_fired.push_back(id);
        m_params.push_back(param);
        if (m_onFire) m_onFire(id);
        return 0;
    }

    std::vector<int> m_fired;
    std::vector<void*> m_params;
    std::function<void(int)> m_onFire;

private:
    MicroTimer* m_timers;
};

class MicroTimerTest : public ::testing::Test {
protected:
    static timeval at(long sec, long usec = 0) {
        timeval tv{};
        tv.tv_sec = sec;
        tv.tv_usec = usec;
        return tv;
    }
    // Registration takes the time of the last check, so a test "sets a timer
    // at t" by checking at t first.
    void setAt(const timeval& t, TimerEvent* ev, int id, long cycle, void* param = nullptr) {
        m_timers.check2At(t);
        m_timers.setTimer(ev, id, cycle, param);
    }
    void checkAt(long sec, long usec = 0) { m_timers.check2At(at(sec, usec)); }

    MicroTimer m_timers;
};

TEST_F(MicroTimerTest, CycleThreeSetJustBeforeASecondFiresOnceThreeWholeSecondsPass) {
    Receiver r;
    setAt(at(10, 999000), &r, 7, 3);

    checkAt(12, 999999);
    EXPECT_TRUE(r.m_fired.empty());

    checkAt(13, 0);
    EXPECT_EQ(std::vector<int>{7}, r.m_fired);
}

TEST_F(MicroTimerTest, RepeatsMeasuredFromTheSecondOfThePreviousFiring) {
    Receiver r;
    setAt(at(100), &r, 1, 2);

    checkAt(101, 999999);
    EXPECT_TRUE(r.m_fired.empty());
    checkAt(102, 500000);
    EXPECT_EQ(1u, r.m_fired.size());

    checkAt(103, 999999);
    EXPECT_EQ(1u, r.m_fired.size());
    checkAt(104, 0);  // two whole seconds after 102.5's second
    EXPECT_EQ(2u, r.m_fired.size());
}

TEST_F(MicroTimerTest, SettingTheSameTimerTwiceKeepsOneItemWithTheSecondPeriod) {
    Receiver r;
    setAt(at(0), &r, 1, 10);
    setAt(at(1), &r, 1, 2);
    EXPECT_EQ(1u, m_timers.size());

    checkAt(2);
    EXPECT_TRUE(r.m_fired.empty());  // restarted at 1 with period 2
    checkAt(3);
    EXPECT_EQ(std::vector<int>{1}, r.m_fired);
}

TEST_F(MicroTimerTest, CycleZeroFiresAtEveryPass) {
    Receiver r;
    setAt(at(50), &r, 3, 0);
    checkAt(50);
    checkAt(50, 1);
    checkAt(50, 2);
    EXPECT_EQ(3u, r.m_fired.size());
}

TEST_F(MicroTimerTest, KillInsideOwnCallbackStopsFurtherCallsAndItemGoesAtNextCheck) {
    Receiver r;
    r.m_onFire = [&](int id) { EXPECT_TRUE(m_timers.killTimer(&r, id)); };
    setAt(at(0), &r, 9, 0);

    checkAt(0);
    EXPECT_EQ(1u, r.m_fired.size());
    EXPECT_EQ(1u, m_timers.size());  // marked, not yet removed

    checkAt(1);
    EXPECT_EQ(1u, r.m_fired.size());
    EXPECT_EQ(0u, m_timers.size());
}

TEST_F(MicroTimerTest, KillingTwiceReportsNotFoundTheSecondTime) {
    Receiver r;
    setAt(at(0), &r, 4, 1);
    EXPECT_TRUE(m_timers.killTimer(&r, 4));
    EXPECT_FALSE(m_timers.killTimer(&r, 4));
    EXPECT_FALSE(m_timers.killTimer(&r, 5));
}

TEST_F(MicroTimerTest, RearmingAKilledTimerBeforeTheCheckCreatesAFreshItem) {
    Receiver r;
    setAt(at(0), &r, 4, 100);
    m_timers.killTimer(&r, 4);
    m_timers.setTimer(&r, 4, 0);
    EXPECT_EQ(2u, m_timers.size());

    checkAt(1);
    EXPECT_EQ(std::vector<int>{4}, r.m_fired);
    EXPECT_EQ(1u, m_timers.size());
}

TEST_F(MicroTimerTest, ExceptionInOneCallbackDelaysTheTimersBehindItToTheNextPass) {
    Receiver thrower, behind;
    bool throwNow = true;
    thrower.m_onFire = [&](int) {
        if (throwNow) {
            throwNow = false;
            errno = EINVAL;
            throw std::runtime_error("receiver failed");
        }
    };
    m_timers.setTimer(&thrower, 1, 0);
    m_timers.setTimer(&behind, 2, 0);

    EXPECT_NO_THROW(checkAt(1));
    EXPECT_TRUE(behind.m_fired.empty());
    EXPECT_EQ(0, errno);

    checkAt(2);
    EXPECT_EQ(1u, behind.m_fired.size());
    EXPECT_EQ(2u, thrower.m_fired.size());
}

TEST_F(MicroTimerTest, WithinOneSecondOnlyCycleZeroTimersFireAndTheOthersWaitForTheNextSecond) {
    Receiver fast, slow, thrower;
    setAt(at(100), &slow, 1, 1);
    checkAt(100, 500000);
    m_timers.setTimer(&fast, 2, 0);
    checkAt(100, 600000);
    checkAt(100, 700000);
    EXPECT_EQ(2u, fast.m_fired.size());
    EXPECT_TRUE(slow.m_fired.empty());

    checkAt(101, 100);
    EXPECT_EQ(1u, slow.m_fired.size());
    EXPECT_EQ(3u, fast.m_fired.size());

    // A throw ends the walk; the timers behind it still fire at the next
    // check, not a second later.
    ASSERT_TRUE(m_timers.killTimer(&fast, 2));
    thrower.m_onFire = [](int) { throw std::runtime_error("receiver failed"); };
    m_timers.setTimer(&thrower, 3, 1);
    m_timers.setTimer(&fast, 4, 1);
    checkAt(102, 0);
    EXPECT_EQ(2u, slow.m_fired.size());
    EXPECT_EQ(3u, fast.m_fired.size());
    checkAt(102, 1000);
    EXPECT_EQ((std::vector<int>{2, 2, 2, 4}), fast.m_fired);
}

TEST_F(MicroTimerTest, NonStandardExceptionIsCaughtToo) {
    Receiver thrower;
    thrower.m_onFire = [](int) { throw 42; };
    setAt(at(0), &thrower, 1, 0);
    EXPECT_NO_THROW(checkAt(0));
}

TEST_F(MicroTimerTest, TimerKilledByAnEarlierCallbackIsNotCalledInTheSameWalk) {
    Receiver first, second;
    first.m_onFire = [&](int) { m_timers.killTimer(&second, 2); };
    m_timers.setTimer(&first, 1, 0);
    m_timers.setTimer(&second, 2, 0);

    checkAt(0);
    EXPECT_TRUE(second.m_fired.empty());
    EXPECT_EQ(1u, m_timers.size());
}

TEST_F(MicroTimerTest, TimerAddedByTheLastCallbackIsVisitedInTheSameWalk) {
    Receiver adder, added;
    adder.m_onFire = [&](int) {
        if (adder.m_fired.size() == 1) m_timers.setTimer(&added, 2, 0);
    };
    setAt(at(0), &adder, 1, 0);

    checkAt(0);
    EXPECT_EQ(1u, added.m_fired.size());
}

TEST_F(MicroTimerTest, PeriodicTimerAddedDuringAWalkWaitsForItsPeriod) {
    Receiver adder, added;
    adder.m_onFire = [&](int) {
        if (adder.m_fired.size() == 1) m_timers.setTimer(&added, 2, 1);
    };
    setAt(at(0), &adder, 1, 0);

    checkAt(5);
    EXPECT_TRUE(added.m_fired.empty());
    checkAt(6);
    EXPECT_EQ(1u, added.m_fired.size());
}

TEST_F(MicroTimerTest, ReceiverDestroyedByAnEarlierCallbackIsNeverCalled) {
    Receiver killer;
    auto victim = std::make_unique<Receiver>(&m_timers);
    killer.m_onFire = [&](int) { victim.reset(); };  // its destructor kills its timers
    m_timers.setTimer(&killer, 1, 0);
    m_timers.setTimer(victim.get(), 2, 0);
    m_timers.setTimer(victim.get(), 3, 0);

    checkAt(1);
    EXPECT_EQ(nullptr, victim);
    EXPECT_EQ(1u, m_timers.size());
}

TEST_F(MicroTimerTest, KillAllLeavesOtherReceiversAlone) {
    Receiver a, b;
    m_timers.setTimer(&a, 1, 0);
    m_timers.setTimer(&a, 2, 0);
    m_timers.setTimer(&b, 1, 0);

    m_timers.killAll(&a);
    checkAt(1);
    EXPECT_TRUE(a.m_fired.empty());
    EXPECT_EQ(1u, b.m_fired.size());
    EXPECT_FALSE(m_timers.killTimer(&a, 1));
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
