#include "tolvex/ack/AckManager.h"

#include <iterator>

#include "tolvex/util/Globals.h"
#include "tolvex/util/ChatUtil.h"

AckManager& AckManager::getInstance() {
    static AckManager instance;
    return instance;
}

void AckManager::ackExpect(std::unique_ptr<SendMsgDetail> detail) {
    if (!detail) return;
    detail->removeFromUserId();
    if (detail->getUserSize() == 0) return;
    room_key key = ChatUtil::makeRoomKey(detail->getRoomId(), detail->getFromUserId());
    const time_t msgTime = detail->getMsgTime();
    std::lock_guard<std::mutex> lock(m_ackMutex);
    // Message and entry go in together, so the scan never takes the entry
    // before it can find the message.
    if (ackRoomLocked({key.roomId, key.tenantId})->ackExpect(std::move(detail)))
        m_timeIndex.emplace(msgTime, std::move(key));
}

std::optional<SendMsgDetail> AckManager::getSendMsgDetail(uint32_t roomId, const std::string& userId,
                                                          uint32_t msgNum) {
    const std::shared_ptr<AckRoom> room = searchAckRoom(roomId, userId);
    return room ? room->getSendMsgDetail(msgNum) : std::nullopt;
}

uint32_t AckManager::getExpectAckCount(uint32_t roomId, const std::string& userId, uint32_t msgNum) {
    const std::shared_ptr<AckRoom> room = searchAckRoom(roomId, userId);
    return room ? room->getRemainAckCount(msgNum, userId) : 0;
}

ack_match_t AckManager::matchAck(uint32_t roomId, const std::string& userId, uint32_t msgNum, uint16_t osType,
                                 bool clearAll) {
    const std::shared_ptr<AckRoom> room = searchAckRoom(roomId, userId);
    return room ? room->matchAck(msgNum, userId, osType, clearAll) : ack_match_t{};
}

void AckManager::clearAckExpectUser(uint32_t roomId, const std::string& userId, uint32_t msgNum) {
    if (const std::shared_ptr<AckRoom> room = searchAckRoom(roomId, userId)) room->clearAckExpect(msgNum, userId);
}

void AckManager::clearAckExpectUser(uint32_t roomId, const std::string& userId, uint32_t msgNum, uint16_t osType) {
    if (const std::shared_ptr<AckRoom> room = searchAckRoom(roomId, userId))
        room->clearAckExpect(msgNum, userId, osType);
}

void AckManager::clearAckExpectMsg(uint32_t roomId, const std::string& userId, uint32_t msgNum) {
    if (const std::shared_ptr<AckRoom> room = searchAckRoom(roomId, userId)) room->clearAckExpect(msgNum);
}

void AckManager::clearAckExpectRoom(uint32_t roomId, const std::string& tenantId) {
    std::shared_ptr<AckRoom> room;
    {
        std::lock_guard<std::mutex> lock(m_ackMutex);
        auto it = m_ackExpectList.find(ChatUtil::roomRefOf(roomId, tenantId));
        if (it == m_ackExpectList.end()) return;
        room = std::move(it->second);
        m_ackExpectList.erase(it);
    }
    room->clearAckExpect();
    g_Logger.log("ACK_CLEAR_ROOM:%d, %s", static_cast<int>(roomId), tenantId.c_str());
}

std::vector<std::unique_ptr<SendMsgDetail>> AckManager::getTimeoutList(int timeoutSec, time_t now) {
    std::vector<std::unique_ptr<SendMsgDetail>> expired;
    std::lock_guard<std::mutex> lock(m_ackMutex);
    std::set<room_key> due;  // in key order, each room once
    for (auto it = m_timeIndex.begin(); it != m_timeIndex.end() && now - it->first >= timeoutSec;)
        due.insert(std::move(m_timeIndex.extract(it++).value().second));
    for (const room_key& key : due) {
        auto room = m_ackExpectList.find(key);
        if (room == m_ackExpectList.end()) continue;  // removed since
        for (auto& detail : room->second->takeTimeoutList(timeoutSec, now)) expired.push_back(std::move(detail));
    }
    return expired;
}

std::shared_ptr<AckRoom>& AckManager::ackRoomLocked(const room_ref& ref) {
    auto it = m_ackExpectList.find(ref);
    if (it != m_ackExpectList.end()) return it->second;
    room_key key{ref.roomId, std::string(ref.tenantId)};
    return m_ackExpectList.emplace(std::move(key), std::make_shared<AckRoom>(ref.roomId)).first->second;
}

std::shared_ptr<AckRoom> AckManager::getAckRoom(uint32_t roomId, const std::string& userId) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_ackMutex);
    return ackRoomLocked(ref);
}

std::shared_ptr<AckRoom> AckManager::searchAckRoom(uint32_t roomId, const std::string& userId) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_ackMutex);
    auto it = m_ackExpectList.find(ref);
    return it == m_ackExpectList.end() ? nullptr : it->second;
}

size_t AckManager::pendingMessageCount() {
    std::lock_guard<std::mutex> lock(m_ackMutex);
    size_t count = 0;
    for (const auto& [key, room] : m_ackExpectList) count += room->messageCount();
    return count;
}

void AckManager::addResultAckInfo(uint32_t roomId, const std::string& userId, uint32_t msgNum,
                                  uint32_t resultAckNum, const send_result& result) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_resultAckMutex);
    auto it = m_resultAckList.find(ref);
    if (it == m_resultAckList.end())
        it = m_resultAckList.try_emplace(room_key{roomId, std::string(ref.tenantId)}, roomId, userId).first;
    it->second.addResultAckInfo(msgNum, resultAckNum, result);
}

send_result AckManager::clearResultAckInfo(uint32_t roomId, const std::string& userId, uint32_t msgNum,
                                           uint32_t resultAckNum) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_resultAckMutex);
    auto it = m_resultAckList.find(ref);
    // An emptied room stays for the sweep to remove.
    return it == m_resultAckList.end() ? send_result{} : it->second.clearResultAckInfo(msgNum, resultAckNum);
}

void AckManager::clearTimeoutResultAckInfo(int timeoutSec, uint32_t now) {
    const uint32_t timeout = timeoutSec > 0 ? static_cast<uint32_t>(timeoutSec) : 0;
    std::lock_guard<std::mutex> lock(m_resultAckMutex);
    for (auto it = m_resultAckList.begin(); it != m_resultAckList.end();) {
        it->second.removeTimeoutInfo(timeout, now);
        it = it->second.isEmpty() ? m_resultAckList.erase(it) : std::next(it);
    }
}

std::optional<size_t> AckManager::searchSendResultAckRoom(uint32_t roomId, const std::string& userId) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_resultAckMutex);
    auto it = m_resultAckList.find(ref);
    if (it == m_resultAckList.end()) return std::nullopt;
    return it->second.entryCount();
}

void AckManager::clearAll() {
    {
        std::map<room_key, std::shared_ptr<AckRoom>, room_order> gone;
        std::lock_guard<std::mutex> lock(m_ackMutex);
        gone.swap(m_ackExpectList);
        m_timeIndex.clear();
    }
    std::lock_guard<std::mutex> lock(m_resultAckMutex);
    m_resultAckList.clear();
}
