#pragma once
// Stands in for the event loop in the task tests: installed as LoopPost's
// sink, it keeps what worker threads hand to the loop until the test thread
// drains it. post() from any thread; drain() on the test thread.

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "tolvex/task/LoopPost.h"

class LoopQueue {
public:
    LoopQueue() {
        LoopPost::setSink([this](std::function<void()> task) { post(std::move(task)); });
    }
    ~LoopQueue() { LoopPost::setSink({}); }
    LoopQueue(const LoopQueue&) = delete;
    LoopQueue& operator=(const LoopQueue&) = delete;

    void post(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    // Runs what was posted so far (not what those tasks post); the count run.
    size_t runQueued() {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            batch.swap(m_tasks);
        }
        for (auto& task : batch) task();
        return batch.size();
    }
    // Runs what was posted, including what those tasks post; the count run.
    size_t drain() {
        size_t ran = 0;
        while (const size_t n = runQueued()) ran += n;
        return ran;
    }

private:
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_tasks;  // guarded by m_mutex
};
