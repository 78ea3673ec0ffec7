#include "tolvex/ack/ResultAckRoom.h"

#include <iterator>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/util/Metrics.h"

bool ResultAckInfo::addResultAckInfo(uint32_t resultAckNum, const send_result& result) {
    return m_resultAckList.try_emplace(resultAckNum, result).second;
}

send_result ResultAckInfo::clearResultAckInfo(uint32_t resultAckNum) {
    auto it = m_resultAckList.find(resultAckNum);
    if (it == m_resultAckList.end()) return {};
    const send_result stored = it->second;
    m_resultAckList.erase(it);
    return stored;
}

void ResultAckInfo::removeTimeoutInfo(uint32_t timeoutSec, uint32_t now) {
    for (auto it = m_resultAckList.begin(); it != m_resultAckList.end();) {
        const send_result& r = it->second;
        // Unsigned: a notice stamped after now (the clock went back) is
        // forgotten rather than kept for ever.
        if (now - r.sendToTimeFromClient < timeoutSec) {
            ++it;
            continue;
        }
        g_Logger.log("ClearTimeout of MSG_RESULT_ACK. %d:%d:%d:%s", static_cast<int>(m_roomId),
                     static_cast<int>(m_msgNum), static_cast<int>(it->first),
                     logText(msgText(r.userId, r.userIdLen)).c_str());
        Metrics::add(Metrics::getInst().resultAckTimeouts);
        it = m_resultAckList.erase(it);
    }
}

bool ResultAckRoom::addResultAckInfo(uint32_t msgNum, uint32_t resultAckNum, const send_result& result) {
    auto it = m_resultAckInfos.try_emplace(msgNum, m_roomId, msgNum).first;
    return it->second.addResultAckInfo(resultAckNum, result);
}

send_result ResultAckRoom::clearResultAckInfo(uint32_t msgNum, uint32_t resultAckNum) {
    auto it = m_resultAckInfos.find(msgNum);
    if (it == m_resultAckInfos.end()) return {};
    const send_result stored = it->second.clearResultAckInfo(resultAckNum);
    if (it->second.isEmpty()) m_resultAckInfos.erase(it);
    return stored;
}

void ResultAckRoom::removeTimeoutInfo(uint32_t timeoutSec, uint32_t now) {
    for (auto it = m_resultAckInfos.begin(); it != m_resultAckInfos.end();) {
        it->second.removeTimeoutInfo(timeoutSec, now);
        it = it->second.isEmpty() ? m_resultAckInfos.erase(it) : std::next(it);
    }
}

size_t ResultAckRoom::entryCount() const {
    size_t n = 0;
    for (const auto& [msgNum, info] : m_resultAckInfos) n += info.size();
    return n;
}
