#pragma once
// Collects every recipient's delivery outcome. For now it only keeps them
// (the result notices and the WAS send-state reports come later); readers
// take copies. A singleton; any thread: every operation takes m_taskMutx.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tolvex/util/ChatTypes.h"

// One outcome as stored: the message fields a result notice needs and the
// recipient's result.
struct stored_send_result_t {
    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    uint32_t trid = 0;
    uint32_t msgTime = 0;
    uint16_t fromOsType = 0;
    std::string fromId;
    send_result result;
};

class SendStateTask {
public:
    // Outcomes kept at most; the oldest go first. Nothing consumes them yet,
    // and a daemon that runs for days must not grow without bound.
    static constexpr size_t kMaxKeptResults = 20000;

    static SendStateTask& getInstance();

    SendStateTask(const SendStateTask&) = delete;
    SendStateTask& operator=(const SendStateTask&) = delete;
    virtual ~SendStateTask() = default;

    // One recipient's outcome of msg. Any thread.
    void addSendResult(const msg_info* msg, const send_result& result);

    // Copies of the outcomes kept, oldest first.
    std::vector<stored_send_result_t> getSendResults() const;
    // Outcomes dropped because the store was full.
    size_t droppedCount() const;
    void clearSendResults();

private:
    SendStateTask() = default;

    mutable std::mutex m_taskMutx;
    std::deque<stored_send_result_t> m_sendResultList;  // guarded by m_taskMutx
    size_t m_dropped = 0;                               // guarded by m_taskMutx
};
