#pragma once
// The WAS requests that wait in the job journal only: left over from an
// earlier run, out of retries, or beyond the bounded line of jobs waiting
// for a connection. They are sent again, oldest first and with a capped
// back-off after failures, until the WAS answers each for good. Also the
// one place jobs settle their journal record. A singleton; event-loop
// thread only, but caughtUp() may be read from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_set>
#include <vector>

#include "tolvex/task/JobJournal.h"

class JournalReplay {
public:
    using clock_t = std::chrono::steady_clock;

    static JournalReplay& getInst();

    JournalReplay(const JournalReplay&) = delete;
    JournalReplay& operator=(const JournalReplay&) = delete;

    // The journal jobs write to; null (the default) journals nothing.
    void setJournal(JobJournal* journal);
    JobJournal* journal() const { return m_journal; }

    // The records an earlier run left unanswered, in order. Rooms load only
    // once these are answered (caughtUp()).
    void startup(const std::vector<JobJournal::record_t>& pending);
    // A record (of roomId, 0 when unknown) to send again: at once after
    // attempts 0, else after a back-off that doubles per attempt up to a
    // minute.
    void later(uint64_t id, uint32_t roomId, int attempts);
    // The WAS took the request, or refused it for good (set aside with why).
    void answered(uint64_t id);
    void refused(uint64_t id, const std::string& why);

    // Each loop pass: starts jobs for the records that are due while the WAS
    // line has room for them.
    void pump(clock_t::time_point now);

    bool caughtUp() const { return m_caughtUp.load(); }
    size_t backlog() const { return m_due.size(); }
    // True while the journal has no room for another message's records: new
    // messages are refused then (one command-log line per episode).
    bool refusesNewMessages();

private:
    JournalReplay() = default;
    struct due_t {
        uint64_t id = 0;
        uint32_t roomId = 0;
        int attempts = 0;
        clock_t::time_point at;
    };
    void settled(uint64_t id);

    JobJournal* m_journal = nullptr;
    std::deque<due_t> m_due;                 // in the order they became due
    std::unordered_set<uint64_t> m_startup;  // of the earlier run, not yet answered
    std::atomic<bool> m_caughtUp{true};
    int m_inFlight = 0;                      // replay jobs started and not ended
    // Rooms with a replay in flight: a room's requests reach the WAS one at
    // a time, in the order they were journaled.
    std::unordered_set<uint32_t> m_roomsInFlight;
    bool m_refusing = false;
    friend class QuillonJournalHandler;
};
