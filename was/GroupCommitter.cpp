#include "was/GroupCommitter.h"

#include <cstdio>
#include <stdexcept>

#include "was/RequestError.h"
#include "was/SqliteDb.h"
#include "was/WasMetrics.h"

namespace {

// Savepoint statements run for every request: prepare them once.
void runCached(SqliteDb& db, const char* sql) {
    db.query(sql)->run();
}

}  // namespace

GroupCommitter::GroupCommitter(std::unique_ptr<SqliteDb> db, const commit_settings_t& settings)
    : m_settings(settings), m_db(std::move(db)) {
    if (m_settings.window.count() > 0) m_thread = std::thread([this] { writeLoop(); });
}

GroupCommitter::~GroupCommitter() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_queued.notify_one();
    m_thread.join();
}

size_t GroupCommitter::batchLimit() const {
    return m_settings.maxBatch == 0 ? 1 : m_settings.maxBatch;
}

void GroupCommitter::apply(std::function<void(SqliteDb&)> work) {
    if (!m_thread.joinable()) return applyAlone(std::move(work));
    std::future<outcome_t> answered;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) throw SqliteError("the store is closing");
        job_t job{std::move(work), {}, {}, std::chrono::steady_clock::now()};
        answered = job.answer.get_future();
        m_queue.push_back(std::move(job));
        // The writer sleeps until a first write comes, then until the window
        // ends or the batch is full; other arrivals need not wake it.
        if (m_queue.size() == 1 || m_queue.size() == batchLimit()) m_queued.notify_one();
    }
    outcome_t outcome = answered.get();
    if (outcome.kind != outcome_t::Kind::Done) rethrow(outcome);
}

// Without batching the caller's own thread commits, as one connection
// behind a mutex would: no hand-over to a writer thread.
void GroupCommitter::applyAlone(std::function<void(SqliteDb&)> work) {
    std::vector<job_t> batch(1);
    batch[0].work = std::move(work);
    {
        std::lock_guard<std::mutex> lock(m_aloneMutex);
        commitBatch(batch);
    }
    if (batch[0].outcome.kind != outcome_t::Kind::Done) rethrow(batch[0].outcome);
}

// The same exception types the work threw, so each page answers as it did
// when it wrote on its own thread.
void GroupCommitter::rethrow(const outcome_t& outcome) {
    switch (outcome.kind) {
    case outcome_t::Kind::Refused:
        throw RequestError(outcome.code, outcome.text);
    case outcome_t::Kind::StorageError:
        throw SqliteError(outcome.text);
    default:
        throw std::runtime_error(outcome.text);
    }
}

GroupCommitter::outcome_t GroupCommitter::outcomeOfCurrentException() {
    using Kind = outcome_t::Kind;
    try {
        throw;
    } catch (const RequestError& e) {
        return {Kind::Refused, e.code(), e.what()};
    } catch (const SqliteError& e) {
        return {Kind::StorageError, 0, e.what()};
    } catch (const std::exception& e) {
        return {Kind::Failed, 0, e.what()};
    } catch (...) {
        return {Kind::Failed, 0, "unknown error"};
    }
}

size_t GroupCommitter::queuedWrites() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

void GroupCommitter::writeLoop() {
    for (;;) {
        try {
            std::vector<job_t> batch = nextBatch();
            if (batch.empty()) return;
            commitBatch(batch);
            // The writer owns each promise, so a caller that wakes and
            // returns at once cannot pull it away while it is being set.
            for (job_t& job : batch) job.answer.set_value(std::move(job.outcome));
        } catch (const std::exception& e) {
            // Only allocation can fail here; the batch's callers get a broken
            // promise, which their page answers with WAS_STORAGE_ERROR.
            fprintf(stderr, "tolvex-was: writer: %s\n", e.what());
        }
    }
}

std::vector<GroupCommitter::job_t> GroupCommitter::nextBatch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
    if (m_queue.empty()) return {};
    const size_t limit = batchLimit();
    // The window runs from the first write's arrival, so writes that queued
    // while the last batch was syncing go without more waiting.
    auto deadline = m_queue.front().queuedAt + m_settings.window;
    m_queued.wait_until(lock, deadline, [&] { return m_stopping || m_queue.size() >= limit; });
    std::vector<job_t> batch;
    while (!m_queue.empty() && batch.size() < limit) {
        batch.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
    return batch;
}

void GroupCommitter::commitBatch(std::vector<job_t>& batch) {
    try {
        SqliteTransaction tx(*m_db);
        for (job_t& job : batch) applyInSavepoint(job);
        tx.commit();
        WasMetrics::getInst().commit(batch.size());
    } catch (...) {
        // BEGIN or COMMIT failed, or SQLite dropped the transaction midway:
        // nothing of the batch is kept, so no write of it may be answered as
        // done, nor refused on the grounds of another write that is gone.
        outcome_t failure = outcomeOfCurrentException();
        for (job_t& job : batch) job.outcome = failure;
    }
}

void GroupCommitter::applyInSavepoint(job_t& job) {
    runCached(*m_db, "SAVEPOINT request");
    try {
        job.work(*m_db);
        runCached(*m_db, "RELEASE request");
        return;
    } catch (...) {
        job.outcome = outcomeOfCurrentException();
    }
    // An I/O error or a full disk may have rolled back the whole transaction,
    // and with it the writes before this one.
    if (!m_db->inTransaction()) throw SqliteError("batch rolled back: " + job.outcome.text);
    runCached(*m_db, "ROLLBACK TO request");
    runCached(*m_db, "RELEASE request");
}
