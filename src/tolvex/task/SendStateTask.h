#pragma once
// Collects every recipient's delivery outcome per message and passes them
// on in batches from its own thread: every 2 s a result notice (MSG_RESULT)
// to each sender, registered for the sender's result ACK; every 3 s the
// recipients that got each message, to the WAS; every 30 s it drops the
// message copies idle for a minute. A singleton. addSendResult from any
// thread; start() and stop() from the main thread; the batch steps on the
// task's thread (tests: while it is stopped). A step takes its batch out
// under m_taskMutx and hands everything that touches sessions, rooms or WAS
// jobs to the event loop, never holding m_taskMutx while doing so.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "tolvex/chat/OutPacket.h"
#include "tolvex/task/PeriodicWorker.h"
#include "tolvex/util/ChatTypes.h"


// A result waiting for its notice, with its message's fields (tests and
// diagnostics).
struct stored_send_result_t {
    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    uint32_t trid = 0;
    uint32_t msgTime = 0;
    uint16_t fromOsType = 0;
    std::string fromId;
    send_result result;
};

// One delivered member as a send-state update reports it.
struct update_member_t {
    std::string userId;
    uint32_t joinSeq = 0;
};

class SendStateTask {
public:
    // Body capacities of a result notice and of a send-state update.
    static constexpr int kNoticeCapacity = 8195;
    static constexpr int kUpdateCapacity = 65535;
    // The update job reads at most this many bytes of join sequences, so a
    // request never carries more.
    static constexpr size_t kMaxJoinSeqListLen = 1023;
    // A message copy goes once this long has passed since its latest result.
    static constexpr uint32_t kMsgInfoKeepSec = 60;

    static SendStateTask& getInstance();

    SendStateTask(const SendStateTask&) = delete;
    SendStateTask& operator=(const SendStateTask&) = delete;
    virtual ~SendStateTask();

    // Starts the thread; false (and a log line) when it cannot. Starting a
    // running task does nothing.
    bool start();
    // Sets the stop flag, wakes the thread and joins it. Results not passed
    // on yet stay where they are. Stopping a stopped task does nothing.
    void stop();
    bool isRunning() const;

    // One recipient's outcome of msg. Any thread.
    void addSendResult(const kept_msg_t& msg, const send_result& result);

    // One pass as of now: every batch step whose interval has run out.
    void doTask(uint32_t now);
    // The batch steps on their own.
    void doSendStateUpdate();
    void doResponseToFromUser();
    void doClearMsgInfo(uint32_t now);

    // The results split, in order, into runs that each fit one notice.
    static std::vector<std::span<const send_result>> splitForNotices(const std::vector<send_result>& results);
    // One notice listing results (which must fit, see splitForNotices).
    static OutPacket makeMsgRelayResultPush(const kept_msg_t& msg, std::span<const send_result> results,
                                            uint32_t resultSeq);
    // The send-state requests of key's message for members, in order, split
    // so that each fits its body and the job's join-sequence field.
    static std::vector<OutPacket> makeUpdatePackets(const msg_key& key, const std::vector<update_member_t>& members);

    // Results waiting for their notice: by message key, each key's in
    // arrival order.
    std::vector<stored_send_result_t> getSendResults() const;
    // Message copies kept.
    size_t keptMsgInfoCount() const;
    // Drops everything and restarts the intervals (tests).
    void clearSendResults();

    // Seams for tests; set them while the task is stopped. Empty functions
    // restore the defaults: UTC seconds, 1 s between passes.
    void setNowFunction(std::function<uint32_t()> now);
    void setCycleInterval(std::chrono::milliseconds interval);

private:
    struct notice_batch_t {
        kept_msg_t msg;
        std::vector<send_result> results;
    };

    SendStateTask() = default;
    void run();
    uint32_t now() const;

    // Event-loop thread: the notices of one message, their log lines and
    // their registration for the result ACK.
    void msgRelayResultPush(const notice_batch_t& batch) const;
    // Event-loop thread: the members' join sequences and the WAS jobs.
    static void sendStateUpdate(const msg_key& key, const std::vector<std::string>& userIds);

    PeriodicWorker m_worker{"SendStateTask"};
    mutable std::mutex m_taskMutx;  // a leaf: nothing else is locked while it is held
    std::map<msg_key, std::vector<std::string>> m_successList;    // guarded by m_taskMutx
    std::map<msg_key, std::vector<send_result>> m_sendResultList;  // guarded by m_taskMutx
    std::map<msg_key, kept_msg_t> m_msgInfoList;                   // guarded by m_taskMutx

    // The task's thread only (tests: while it is stopped).
    uint32_t m_sendUpdateLastTime = 0;
    uint32_t m_sendResultLastTime = 0;
    uint32_t m_clearMsgInfoLastTime = 0;
};
