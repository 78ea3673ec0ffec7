#include "cpputil/MicroTimer.h"

#include <errno.h>
#include <string.h>

#include <iterator>

#include "cpputil/ErrorLog.h"
#include "cpputil/LoopThread.h"
#include "cpputil/Trace.h"

MicroTimer& MicroTimer::getInst() {
    static MicroTimer instance;
    return instance;
}

MicroTimer::MicroTimer() {
    gettimeofday(&m_now, nullptr);
}

MicroTimer::item_iter MicroTimer::findLive(TimerEvent* ev, int id) {
    auto found = m_byReceiver.find(ev);
    if (found == m_byReceiver.end()) return m_timerlist.end();
    for (item_iter item : found->second)
        if (item->id == id) return item;
    return m_timerlist.end();
}

void MicroTimer::forget(TimerEvent* ev, item_iter item) {
    auto found = m_byReceiver.find(ev);
    if (found == m_byReceiver.end()) return;
    std::vector<item_iter>& items = found->second;
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (*it == item) {
            items.erase(it);
            break;
        }
    }
    if (items.empty()) m_byReceiver.erase(found);
}

void MicroTimer::setTimer(TimerEvent* ev, int id, long cycle, void* param) {
    ASSERT_IN_LOOP_THREAD();
    // A null receiver would read as a killed item and never fire.
    if (!ev) return;
    if (cycle == 0) m_walkEveryCheck = true;
    if (item_iter item = findLive(ev, id); item != m_timerlist.end()) {
        item->cycle = cycle;
        item->start = m_now;
        item->param = param;
        return;
    }
    timeritem_t item;
    item.id = id;
    item.cycle = cycle;
    item.start = m_now;
    item.param = param;
    item.pevent = ev;
    m_timerlist.push_back(item);
    m_byReceiver[ev].push_back(std::prev(m_timerlist.end()));
}

bool MicroTimer::killTimer(TimerEvent* ev, int id) {
    ASSERT_IN_LOOP_THREAD();
    if (!ev) return false;
    const item_iter item = findLive(ev, id);
    if (item == m_timerlist.end()) return false;
    // Only marked: check2() may be walking the list right now.
    item->pevent = nullptr;
    forget(ev, item);
    return true;
}

void MicroTimer::killAll(TimerEvent* ev) {
    if (!ev) return;
    auto found = m_byReceiver.find(ev);
    if (found == m_byReceiver.end()) return;
    for (item_iter item : found->second) item->pevent = nullptr;
    m_byReceiver.erase(found);
}

void MicroTimer::check2() {
    timeval now{};
    gettimeofday(&now, nullptr);
    check2At(now);
}

namespace {

bool isDue(const MicroTimer::timeritem_t& item, const timeval& now) {
    if (item.cycle == 0) return true;
    // The microsecond part never reaches a whole second, so this is the
    // difference of the whole seconds: cycle N fires once the wall-clock
    // second has advanced by N.
    const long elapsed = (now.tv_sec - item.start.tv_sec) + (now.tv_usec - item.start.tv_usec) / 1000000;
    return item.cycle <= elapsed;
}

}  // namespace

void MicroTimer::check2At(const timeval& now) {
    ASSERT_IN_LOOP_THREAD();
    m_now = now;
    if (now.tv_sec == m_lastWalkSec && !m_walkEveryCheck) return;
    m_lastWalkSec = now.tv_sec;
    m_walkEveryCheck = false;
    try {
        // Only this walk erases items; callbacks merely mark them killed. So
        // the current item outlives its callback and stepping past it
        // afterwards is safe, and items appended meanwhile, even behind the
        // last one, are visited in this same walk.
        for (auto it = m_timerlist.begin(); it != m_timerlist.end();) {
            if (!it->pevent) {
                it = m_timerlist.erase(it);
                continue;
            }
            if (isDue(*it, m_now)) {
                if (it->cycle != 0) it->start = m_now;
                it->pevent->OnTimer(it->id, it->param);
            }
            if (it->pevent && it->cycle == 0) m_walkEveryCheck = true;
            ++it;
        }
    } catch (...) {
        REPORT_ERROR(TRACE_ERROR, "timer threw: %s", strerror(errno));
        errno = 0;
        m_walkEveryCheck = true;  // the timers behind the thrower wait for no second
    }
}
