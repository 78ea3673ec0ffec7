#pragma once
// The result notices (MSG_RESULT) a sender has not acknowledged yet: per
// room, per message, per result sequence number the first result the notice
// listed. Values held by AckManager; they do no locking of their own, since
// AckManager's resultAckMutex guards them whole.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "tolvex/util/ChatTypes.h"

// One message's unanswered notices, by result sequence number.
class ResultAckInfo {
public:
    ResultAckInfo(uint32_t roomId, uint32_t msgNum) : m_roomId(roomId), m_msgNum(msgNum) {}

    // False, with the stored result kept, when the number is known already:
    // a notice is represented by its first result.
    bool addResultAckInfo(uint32_t resultAckNum, const send_result& result);
    // A copy of the stored result, which is erased; all zero when absent.
    send_result clearResultAckInfo(uint32_t resultAckNum);
    // Erases, in number order, every result at least timeoutSec old at now
    // and logs each one.
    void removeTimeoutInfo(uint32_t timeoutSec, uint32_t now);
    bool isEmpty() const { return m_resultAckList.empty(); }
    size_t size() const { return m_resultAckList.size(); }

private:
    std::map<uint32_t, send_result> m_resultAckList;
    uint32_t m_roomId;
    uint32_t m_msgNum;
};

// One room's unanswered notices, by message number.
class ResultAckRoom {
public:
    ResultAckRoom(uint32_t roomId, std::string tenantId) : m_roomId(roomId), m_tenantId(std::move(tenantId)) {}

    bool addResultAckInfo(uint32_t msgNum, uint32_t resultAckNum, const send_result& result);
    // A copy of the stored result, which is erased (and the message with
    // its last one); all zero when absent.
    send_result clearResultAckInfo(uint32_t msgNum, uint32_t resultAckNum);
    // The sweep of every message, in number order; messages left without
    // entries are erased.
    void removeTimeoutInfo(uint32_t timeoutSec, uint32_t now);
    bool isEmpty() const { return m_resultAckInfos.empty(); }
    // Unanswered notices over all messages.
    size_t entryCount() const;
    uint32_t getRoomId() const { return m_roomId; }
    const std::string& getTenantId() const { return m_tenantId; }

private:
    std::map<uint32_t, ResultAckInfo> m_resultAckInfos;
    uint32_t m_roomId;
    std::string m_tenantId;  // the user id the room was registered with
};
