#pragma once
// Process-wide periodic timer list of the event loop. Timers are keyed by
// (receiver, id) and repeat until killed. Event-loop thread only: worker
// threads hand timer work to the loop instead of calling in here.

#include <sys/time.h>

#include <cstddef>
#include <list>
#include <unordered_map>
#include <vector>

class TimerEvent {
public:
    virtual ~TimerEvent() = default;
    // The result is ignored.
    virtual int OnTimer(int id, void* param) = 0;
};

class MicroTimer {
public:
    struct timeritem_t {
        int id = -1;
        long cycle = 0;          // seconds; 0 fires at every check
        timeval start{};         // last firing or registration
        void* param = nullptr;
        TimerEvent* pevent = nullptr;  // null: killed, removed by the next check
        bool operator==(const timeritem_t& o) const { return id == o.id && pevent == o.pevent; }
    };

    static MicroTimer& getInst();
    static MicroTimer& getInstance() { return getInst(); }

    MicroTimer(const MicroTimer&) = delete;
    MicroTimer& operator=(const MicroTimer&) = delete;
    virtual ~MicroTimer() = default;

    // Re-arms an existing (ev, id) in place; start is the time of the last check.
    void setTimer(TimerEvent* ev, int id, long cycle, void* param = nullptr);
    // False when no live timer (ev, id) exists.
    bool killTimer(TimerEvent* ev, int id);
    // Kills every timer of ev; for receivers that are being destroyed.
    void killAll(TimerEvent* ev);
    void check2();
    // check2() at a given time: the clock seam for tests. Killed timers are
    // erased by the next walk, which comes at the next second at the latest.
    void check2At(const timeval& now);

    size_t size() const { return m_timerlist.size(); }

    // A fresh list, for tests that need an instance of their own.
    MicroTimer();

private:
    using item_iter = std::list<timeritem_t>::iterator;
    // The live item (ev, id), or m_timerlist.end().
    item_iter findLive(TimerEvent* ev, int id);
    void forget(TimerEvent* ev, item_iter item);

    std::list<timeritem_t> m_timerlist;
    // The live items of each receiver: a busy daemon has thousands of WAS
    // jobs setting and killing timers, and a walk of the whole list for each
    // of those calls stalled the loop. Killed items leave the index at once;
    // check2 erases them from the list later.
    std::unordered_map<TimerEvent*, std::vector<item_iter>> m_byReceiver;
    timeval m_now{};
    // A timer of N >= 1 seconds comes due only when the wall-clock second
    // changes, so the list is walked once per second, or at every check
    // while a timer of cycle 0 may be live: the loop checks on every pass,
    // and a busy daemon makes thousands of passes over thousands of timers.
    time_t m_lastWalkSec = -1;
    bool m_walkEveryCheck = false;
};
