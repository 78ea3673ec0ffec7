#pragma once
// The relay-ACK timeout thread: once a second it takes every message whose
// ACKs are overdue out of AckManager and has the event loop report each
// member still missing as outcome 10, then forgets the result notices left
// unacknowledged too long. A singleton; start() and stop() from the main
// thread, runCycle() from the task's thread (or a test).

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "tolvex/task/PeriodicWorker.h"

class SendMsgDetail;

class AckTask {
public:
    static AckTask& getInstance();

    AckTask(const AckTask&) = delete;
    AckTask& operator=(const AckTask&) = delete;
    virtual ~AckTask();

    // Starts the thread; false (and a log line) when it cannot. Starting a
    // running task does nothing.
    bool start();
    // Sets the stop flag, wakes the thread and joins it: returns within one
    // cycle's work. Stopping a stopped task does nothing.
    void stop();
    bool isRunning() const;

    // One cycle as of now with the given relay-ACK timeout: takes the
    // overdue messages out and hands their outcomes to the loop, then sweeps
    // the result notices with the result-ACK timeout.
    void runCycle(time_t now, int timeoutSec);
    // One code-10 outcome per member still listed in detail (not the
    // sender), with the first OS type listed. Loop thread: it reads members.
    static void sendTimeoutFailPacket(const SendMsgDetail& detail);

    // Seams for tests; set them while the task is stopped. Empty functions
    // restore the defaults: UTC seconds, msg_relay_ack_timeout_sec,
    // msg_result_ack_timeout_sec, 1 s.
    void setNowFunction(std::function<uint32_t()> now);
    void setTimeoutFunction(std::function<int()> timeoutSec);
    void setResultTimeoutFunction(std::function<int()> timeoutSec);
    void setCycleInterval(std::chrono::milliseconds interval);

private:
    AckTask() = default;
    void run();
    void sendAckFail(std::vector<std::unique_ptr<SendMsgDetail>> timeoutList);
    time_t now() const;
    int timeoutSec() const;
    int resultTimeoutSec() const;

    PeriodicWorker m_worker{"AckTask"};
    std::function<int()> m_timeoutSec;        // set while stopped
    std::function<int()> m_resultTimeoutSec;  // set while stopped
};
