#include "tolvex/task/PeriodicWorker.h"

#include <exception>
#include <system_error>
#include <utility>

#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Globals.h"

PeriodicWorker::PeriodicWorker(std::string name) : m_name(std::move(name)) {}

PeriodicWorker::~PeriodicWorker() {
    stop();
}

bool PeriodicWorker::start(std::function<void()> body) {
    if (m_thread.joinable()) return true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_woken = false;
    }
    try {
        m_thread = std::thread(std::move(body));
    } catch (const std::system_error& e) {
        g_Logger.log("%s thread start fail !!!!!! %s", m_name.c_str(), e.what());
        return false;
    }
    return true;
}

void PeriodicWorker::stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wakeCond.notify_all();
    try {
        m_thread.join();
    } catch (const std::system_error& e) {
        g_Logger.log("%s thread join failed. %s", m_name.c_str(), e.what());
    }
}

bool PeriodicWorker::waitFor(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wakeCond.wait_for(lock, d, [this] { return m_stop || m_woken; });
    m_woken = false;
    return !m_stop;
}

void PeriodicWorker::wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_wakeCond.notify_all();
}

bool PeriodicWorker::stopping() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void PeriodicWorker::runCycle(const std::function<void()>& cycle) const {
    try {
        cycle();
    } catch (const std::exception& e) {
        logErrno(m_name + " Exception", std::string(" ") + e.what());
    }
}

uint32_t PeriodicWorker::now() const {
    return m_now ? m_now() : ChatUtil::getUTCTimeSecond();
}

void PeriodicWorker::setCycleInterval(std::chrono::milliseconds interval) {
    m_interval = interval.count() > 0 ? interval : std::chrono::milliseconds(std::chrono::seconds(1));
}
