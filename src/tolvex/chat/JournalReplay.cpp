#include "tolvex/chat/JournalReplay.h"

#include <algorithm>
#include <cstddef>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJournalHandler.h"

namespace {

constexpr int kMaxBackoffSec = 60;
// Room for the records of one more message (its save with the largest
// text and member lists, a push request) before the journal's limit.
constexpr uint64_t kMessageHeadroom = 256 * 1024;

}  // namespace

JournalReplay& JournalReplay::getInst() {
    static JournalReplay inst;
    return inst;
}

void JournalReplay::setJournal(JobJournal* journal) {
    m_journal = journal;
    m_due.clear();
    m_startup.clear();
    m_caughtUp = true;
    m_inFlight = 0;
    m_roomsInFlight.clear();
    m_refusing = false;
}

void JournalReplay::startup(const std::vector<JobJournal::record_t>& pending) {
    const clock_t::time_point now = clock_t::now();
    for (const JobJournal::record_t& r : pending) {
        m_due.push_back({r.id, r.roomId, 0, now});
        m_startup.insert(r.id);
    }
    m_caughtUp = m_startup.empty();
    if (!pending.empty())
        g_Logger.log("journal: %zu WAS request(s) of an earlier run to send before the rooms load", pending.size());
}

void JournalReplay::later(uint64_t id, uint32_t roomId, int attempts) {
    const int sec = attempts <= 0 ? 0 : std::min(kMaxBackoffSec, 1 << std::min(attempts - 1, 6));
    m_due.push_back({id, roomId, attempts, clock_t::now() + std::chrono::seconds(sec)});
}

void JournalReplay::answered(uint64_t id) {
    if (m_journal) m_journal->retire(id);
    settled(id);
}

void JournalReplay::refused(uint64_t id, const std::string& why) {
    g_Logger.log("journal: WAS request %llu refused for good, set aside in the dead-letter file: %s",
                 static_cast<unsigned long long>(id), why.c_str());
    if (m_journal) m_journal->deadLetter(id, why);
    settled(id);
}

void JournalReplay::settled(uint64_t id) {
    if (m_startup.erase(id) == 0 || !m_startup.empty()) return;
    m_caughtUp = true;
    g_Logger.log("journal: the requests of the earlier run are answered");
}

void JournalReplay::pump(clock_t::time_point now) {
    if (!m_journal) return;
    // Replays share the WAS line with live jobs but never crowd it: at most
    // half the requests in flight, and none while live jobs wait.
    const int limit = JobHandler::maxRequests() > 0 ? std::max(1, JobHandler::maxRequests() / 2) : 500;
    size_t scanned = 0;
    // By index: a replay that fails at once is queued again at the back
    // from inside doit(), which invalidates every iterator of the deque.
    for (size_t i = 0; i < m_due.size() && scanned < 64;) {
        if (m_inFlight >= limit || JobHandler::jobsWaitingForAConnection() > 0) return;
        ++scanned;
        const due_t due = m_due[i];
        if (due.at > now || (due.roomId != 0 && m_roomsInFlight.count(due.roomId) != 0)) {
            ++i;
            continue;
        }
        m_due.erase(m_due.begin() + static_cast<std::ptrdiff_t>(i));
        ++m_inFlight;
        if (due.roomId != 0) m_roomsInFlight.insert(due.roomId);
        (new QuillonJournalHandler(due.id, due.roomId, due.attempts))->doit(nullptr, nullptr);
    }
}

bool JournalReplay::refusesNewMessages() {
    if (!m_journal) return false;
    const uint64_t max = m_journal->maxBytes();
    const bool refuse = m_journal->full() || (max > kMessageHeadroom && m_journal->bytes() > max - kMessageHeadroom);
    if (refuse != m_refusing)
        g_Logger.log(refuse ? "journal: full (%llu bytes): new messages are refused until the WAS catches up"
                            : "journal: room again (%llu bytes): messages are accepted",
                     static_cast<unsigned long long>(m_journal->bytes()));
    m_refusing = refuse;
    return refuse;
}
