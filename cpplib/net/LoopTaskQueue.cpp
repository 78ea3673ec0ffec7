#include "net/LoopTaskQueue.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"
#include "poller/Poller.h"

void LoopTaskQueue::setPoller(Poller* poller) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_poller = poller;
}

void LoopTaskQueue::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool first = m_tasks.empty();
    m_tasks.push_back(std::move(task));
    // One byte per batch is enough: the loop drains everything it finds.
    // The wake-up stays under the lock so that setPoller(nullptr) cannot
    // retire the poller between the check and the write.
    if (first && m_poller) m_poller->wakeUp();
}

size_t LoopTaskQueue::drain() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        batch.swap(m_tasks);
    }
    for (auto& task : batch) {
        try {
            task();
        } catch (const std::exception& e) {
            REPORT_ERROR(TRACE_ERROR, "posted task threw: %s", e.what());
        } catch (...) {
            REPORT_ERROR(TRACE_ERROR, "posted task threw a non-standard exception");
            errno = 0;
        }
    }
    return batch.size();
}

size_t LoopTaskQueue::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tasks.size();
}
