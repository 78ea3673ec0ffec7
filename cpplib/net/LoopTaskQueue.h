#pragma once
// Effects that other threads hand to the event loop. post() may be called
// from any thread; drain() runs on the loop thread once per pass. Owned by
// App.

#include <functional>
#include <mutex>
#include <vector>

class Poller;

class LoopTaskQueue {
public:
    LoopTaskQueue() = default;
    explicit LoopTaskQueue(Poller* poller) : m_poller(poller) {}
    LoopTaskQueue(const LoopTaskQueue&) = delete;
    LoopTaskQueue& operator=(const LoopTaskQueue&) = delete;

    // The poller whose wake-up pipe post() writes to; null detaches (tasks
    // then wait for the next pass without a wake-up).
    void setPoller(Poller* poller);
    void post(std::function<void()> task);
    // Runs every task queued so far, without the lock, so a task may post()
    // again (it runs at the next drain). Exceptions stop only their task.
    // Returns the number of tasks run.
    size_t drain();
    size_t pending() const;

private:
    mutable std::mutex m_mutex;
    Poller* m_poller = nullptr;                  // guarded by m_mutex
    std::vector<std::function<void()>> m_tasks;  // guarded by m_mutex
};
