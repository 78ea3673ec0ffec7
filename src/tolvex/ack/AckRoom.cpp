#include "tolvex/ack/AckRoom.h"

relay_msg_t relayMsgOf(const SendMsgDetail& d) {
    relay_msg_t m;
    m.roomId = d.getRoomId();
    m.msgNum = d.getMsgNum();
    m.trid = d.getTrid();
    m.fromOsType = d.getFromOsType();
    m.fromUserId = d.getFromUserId();
    m.msgTime = d.getMsgTime();
    m.msgType = d.getMsgType();
    return m;
}

bool AckRoom::ackExpect(std::unique_ptr<SendMsgDetail> detail) {
    if (!detail) return false;
    std::lock_guard<std::mutex> lock(m_infoMutex);
    const uint32_t msgNum = detail->getMsgNum();
    return m_msgDetailList.try_emplace(msgNum, std::move(detail)).second;
}

void AckRoom::clearAckExpect() {
    DetailMap gone;
    {
        std::lock_guard<std::mutex> lock(m_infoMutex);
        gone.swap(m_msgDetailList);
    }
}

void AckRoom::clearAckExpect(uint32_t msgNum) {
    std::unique_ptr<SendMsgDetail> gone;
    std::lock_guard<std::mutex> lock(m_infoMutex);
    auto it = m_msgDetailList.find(msgNum);
    if (it == m_msgDetailList.end()) return;
    gone = std::move(it->second);
    m_msgDetailList.erase(it);
}

void AckRoom::clearAckExpect(uint32_t msgNum, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    auto it = m_msgDetailList.find(msgNum);
    if (it == m_msgDetailList.end()) return;
    it->second->removeUser(userId);
    eraseIfDone(it);
}

void AckRoom::clearAckExpect(uint32_t msgNum, const std::string& userId, uint16_t osType) {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    auto it = m_msgDetailList.find(msgNum);
    if (it == m_msgDetailList.end()) return;
    it->second->removeUserOsType(userId, osType);
    eraseIfDone(it);
}

uint32_t AckRoom::getRemainAckCount(uint32_t msgNum, const std::string& userId) const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    auto it = m_msgDetailList.find(msgNum);
    return it == m_msgDetailList.end() ? 0 : it->second->getRemainAckCount(userId);
}

std::optional<SendMsgDetail> AckRoom::getSendMsgDetail(uint32_t msgNum) const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    auto it = m_msgDetailList.find(msgNum);
    if (it == m_msgDetailList.end()) return std::nullopt;
    return *it->second;
}

size_t AckRoom::messageCount() const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    return m_msgDetailList.size();
}

ack_match_t AckRoom::matchAck(uint32_t msgNum, const std::string& userId, uint16_t osType, bool clearAll) {
    ack_match_t match;
    std::lock_guard<std::mutex> lock(m_infoMutex);
    auto it = m_msgDetailList.find(msgNum);
    if (it == m_msgDetailList.end()) return match;
    SendMsgDetail& detail = *it->second;
    match.found = true;
    match.remain = detail.getRemainAckCount(userId);
    match.msg = relayMsgOf(detail);
    if (clearAll)
        detail.removeUser(userId);
    else
        detail.removeUserOsType(userId, osType);
    eraseIfDone(it);
    return match;
}

std::vector<std::unique_ptr<SendMsgDetail>> AckRoom::takeTimeoutList(int timeoutSec, time_t now) {
    std::vector<std::unique_ptr<SendMsgDetail>> expired;
    std::lock_guard<std::mutex> lock(m_infoMutex);
    for (auto it = m_msgDetailList.begin(); it != m_msgDetailList.end();) {
        if (now - it->second->getMsgTime() >= timeoutSec) {
            expired.push_back(std::move(it->second));
            it = m_msgDetailList.erase(it);
        } else {
            ++it;
        }
    }
    return expired;
}

void AckRoom::eraseIfDone(DetailMap::iterator it) {
    if (it->second->getUserSize() == 0) m_msgDetailList.erase(it);
}
