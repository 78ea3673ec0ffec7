#pragma once
// The lifecycle the daemon's worker threads share: a start that logs why a
// thread could not be made, a stop that wakes the thread in whatever wait it
// is in and joins it, waits that end early on stop or on wake(), each cycle's
// exceptions turned into a command-log line, and the seams tests replace (the
// clock, the time between cycles). What a thread does each cycle stays with
// its task. start(), stop() and the seams from the main thread (tests: while
// stopped); the waits and cycles from the worker thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class PeriodicWorker {
public:
    // name starts the task's log lines ("AckTask thread start fail ...").
    explicit PeriodicWorker(std::string name);
    ~PeriodicWorker();

    PeriodicWorker(const PeriodicWorker&) = delete;
    PeriodicWorker& operator=(const PeriodicWorker&) = delete;

    // Runs body on a new thread; false and "<name> thread start fail !!!!!!"
    // when it cannot. Starting a running worker does nothing.
    bool start(std::function<void()> body);
    // Sets the stop flag, wakes the thread and joins it. Stopping a stopped
    // worker does nothing.
    void stop();
    bool isRunning() const { return m_thread.joinable(); }

    // Worker thread: waits for d, or less once stop() or wake() came; false
    // when the worker is stopping. A wake() is used up by the wait it ended.
    bool waitFor(std::chrono::milliseconds d);
    // The time between cycles.
    bool waitCycle() { return waitFor(m_interval); }
    // Ends the current (or the next) wait early. Any thread.
    void wake();
    bool stopping() const;

    // Runs one cycle; what it throws becomes "<name> Exception ERROR:..."
    // in the command log and the thread goes on.
    void runCycle(const std::function<void()>& cycle) const;

    // UTC seconds, or the test clock.
    uint32_t now() const;

    // Seams for tests; set them while stopped. An empty clock restores UTC
    // seconds, a zero interval one second.
    void setNowFunction(std::function<uint32_t()> now) { m_now = std::move(now); }
    void setCycleInterval(std::chrono::milliseconds interval);

private:
    const std::string m_name;
    std::thread m_thread;  // main thread only
    mutable std::mutex m_mutex;
    std::condition_variable m_wakeCond;
    bool m_stop = false;   // guarded by m_mutex
    bool m_woken = false;  // guarded by m_mutex
    std::function<uint32_t()> m_now;                                // set while stopped
    std::chrono::milliseconds m_interval{std::chrono::seconds(1)};  // set while stopped
};
