#pragma once
// The store's only writer: one thread owns the write connection and applies
// the writes that arrive within a short window in one transaction, so they
// share one sync to disk. Owned by WasStore. apply() may be called from any
// thread; it blocks until the commit that holds its work is durable. With
// batching off there is no writer thread: each caller commits its own write
// under a mutex.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SqliteDb;

struct commit_settings_t {
    // How long the first write of a batch waits for others to join it.
    // Zero turns batching off: one transaction per write.
    std::chrono::microseconds window{1000};
    // Writes per transaction; a full batch commits without waiting out the
    // window. More than the threads that can wait for a commit never fill.
    size_t maxBatch = 32;
};

class GroupCommitter {
public:
    // Takes the open write connection; the writer thread, when batching,
    // starts at once.
    GroupCommitter(std::unique_ptr<SqliteDb> db, const commit_settings_t& settings);
    GroupCommitter(const GroupCommitter&) = delete;
    GroupCommitter& operator=(const GroupCommitter&) = delete;
    // Applies what is queued, then joins the writer thread.
    ~GroupCommitter();

    // Runs work inside its own savepoint of the next batch (on the writer
    // thread) and returns once that batch has committed. Throws what work
    // threw (its savepoint rolled back, the rest of the batch unharmed), or
    // the SqliteError of a failed commit, which kept nothing of the batch.
    // work must not keep a statement open past its return.
    void apply(std::function<void(SqliteDb&)> work);

    // Writes not yet taken into a batch. Lets a test decide the order of
    // the writes of one batch.
    size_t queuedWrites();

private:
    // What became of one write, carried back to its caller as a value, so
    // no exception object is shared between threads.
    struct outcome_t {
        enum class Kind { Done, Refused, StorageError, Failed };
        Kind kind = Kind::Done;
        uint16_t code = 0;  // of a refusal
        std::string text;
    };

    struct job_t {
        std::function<void(SqliteDb&)> work;
        std::promise<outcome_t> answer;
        outcome_t outcome;  // set by the thread that commits
        std::chrono::steady_clock::time_point queuedAt;
    };

    static outcome_t outcomeOfCurrentException();
    [[noreturn]] static void rethrow(const outcome_t& outcome);

    void applyAlone(std::function<void(SqliteDb&)> work);
    void writeLoop();
    std::vector<job_t> nextBatch();
    void commitBatch(std::vector<job_t>& batch);
    void applyInSavepoint(job_t& job);
    size_t batchLimit() const;

    const commit_settings_t m_settings;
    // Used by m_thread alone; with batching off, under m_aloneMutex.
    std::unique_ptr<SqliteDb> m_db;
    // The two mutexes are never held together: m_aloneMutex serves only
    // when batching is off, m_mutex only when it is on.
    std::mutex m_aloneMutex;

    std::mutex m_mutex;
    std::condition_variable m_queued;  // a write came, the batch filled, or stopping
    std::deque<job_t> m_queue;         // guarded by m_mutex
    bool m_stopping = false;           // guarded by m_mutex

    std::thread m_thread;  // last: starts once everything above exists; none with batching off
};
