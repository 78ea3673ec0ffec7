#include "tolvex/room/RoomManager.h"

#include <algorithm>

#include "tolvex/util/Globals.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

RoomManager& RoomManager::getInst() {
    static RoomManager instance;
    return instance;
}

RoomManager::RoomManager() {
    g_Logger.log("RoomManager Constructor");
}

RoomManager::~RoomManager() = default;

Room* RoomManager::findLocked(const room_ref& ref) const {
    auto it = m_roomList.find(ref);
    return it == m_roomList.end() ? nullptr : it->get();
}

User* RoomManager::findUserLocked(uint32_t roomId, const std::string& userId) const {
    Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room ? room->getUser(userId) : nullptr;
}

Room* RoomManager::addRoomLocked(uint32_t roomId, const std::string& userId) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    if (Room* found = findLocked(ref)) return found;
    auto room = std::make_unique<Room>(roomId, std::string(ref.tenantId));
    Room* added = room.get();
    // Looked at by the next pass, which files it by its timeout. Filed
    // first, so that a failed insert leaves no room outside the index
    // (the set takes the room only once its node is made).
    m_idleIndex.add(*added, added->getLastActionTime());
    try {
        m_roomList.insert(std::move(room));
    } catch (...) {
        m_idleIndex.remove(*added);
        throw;
    }
    g_Logger.log("ROOM_ADD:%u,%s", roomId, added->getTenantId().c_str());
    return added;
}

void RoomManager::setActionTimeLocked(Room& room, uint32_t time) {
    room.updateLastActionTime(time);
    // Later activity only makes the room due later, which its next look
    // finds out; an earlier one may make it due before it is looked at.
    if (time < RoomIdleHeap::timeOf(room)) m_idleIndex.refile(room, time);
}

void RoomManager::addRoom(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    addRoomLocked(roomId, userId);
}

Room* RoomManager::getRoom(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    return findLocked(ChatUtil::roomRefOf(roomId, userId));
}

Room* RoomManager::getRoom(const room_key& key) {
    std::lock_guard<std::mutex> lock(m_mutx);
    return findLocked({key.roomId, key.tenantId});
}

User* RoomManager::getRoomUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    return findUserLocked(roomId, userId);
}

void RoomManager::addRoomUser(uint32_t roomId, const std::string& userId, const std::string& nameInfo) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) room->addUser(userId, nameInfo);
}

void RoomManager::addRoomUser(uint32_t roomId, std::unique_ptr<User> user) {
    if (!user) return;
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, user->getUserId()))) room->setUser(std::move(user));
}

void RoomManager::setRoomType(uint32_t roomId, const std::string& userId, uint16_t type) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) room->setRoomType(type);
}

void RoomManager::loadMember(uint32_t roomId, uint16_t roomType, std::unique_ptr<User> user, uint32_t maxMsgSeq,
                             uint32_t maxJoinSeq, uint32_t lastRecvTime) {
    if (!user) return;
    if (lastRecvTime == 0) lastRecvTime = ChatUtil::getUTCTimeSecond();
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = addRoomLocked(roomId, user->getUserId());
    room->setRoomType(roomType);
    room->setUser(std::move(user));  // may drop it: user is not used below
    room->setMaxMsgSeqNum(maxMsgSeq);
    room->setMaxJoinSeqNum(maxJoinSeq);
    setActionTimeLocked(*room, lastRecvTime);
}

void RoomManager::joinUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) room->joinUser(userId);
}

void RoomManager::leaveUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) room->leaveUser(userId);
}

bool RoomManager::alreadyJoinedUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const User* user = findUserLocked(roomId, userId);
    return user && user->getJoinState() == JOIN_JOIN;
}

bool RoomManager::isActiveMember(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room && room->isActiveMember(userId);
}

int64_t RoomManager::getUserJoinSeq(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room ? room->getUserJoinSeq(userId) : JOIN_SEQ_ERROR_NOT_EXIST_ROOM;
}

uint32_t RoomManager::getNextMsgNumber(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room ? room->getNextMsgSeq() : 0;
}

uint32_t RoomManager::getCurrentMsgNumber(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room ? room->getCurrentMsgNumber() : 0;
}

uint32_t RoomManager::getMemberCount(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room ? room->getActiveMemberCount() : 0;
}

uint32_t RoomManager::getMsgResultSeq(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    return room ? room->getMsgResultSequence() : 0;
}

void RoomManager::setMaxMsgSeq(uint32_t roomId, const std::string& userId, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) room->setMaxMsgSeqNum(value);
}

void RoomManager::setMaxJoinSeq(uint32_t roomId, const std::string& userId, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) room->setMaxJoinSeqNum(value);
}

void RoomManager::updateActionTime(uint32_t roomId, const std::string& userId, uint32_t time) {
    if (time == 0) time = ChatUtil::getUTCTimeSecond();
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId))) setActionTimeLocked(*room, time);
}

uint32_t RoomManager::getPushAlarmCount(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const User* user = findUserLocked(roomId, userId);
    return user ? user->getPushAlarmCount() : 0;
}

void RoomManager::increasePushAlarmCount(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (User* user = findUserLocked(roomId, userId)) user->increasePushAlarmCount();
}

void RoomManager::resetPushAlarmCount(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (User* user = findUserLocked(roomId, userId)) user->resetPushAlarmCount();
}

uint16_t RoomManager::getLastJoinOsType(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const User* user = findUserLocked(roomId, userId);
    return user ? user->getLastJoinOsType() : OS_TYPE_PC;
}

uint16_t RoomManager::getLastSendActionOsType(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const User* user = findUserLocked(roomId, userId);
    return user ? user->getLastSendActionOsType() : OS_TYPE_PC;
}

bool RoomManager::readsOnPc(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const User* user = findUserLocked(roomId, userId);
    // A member no longer in the room counts as on a PC, as each getter says.
    if (!user) return true;
    return user->getLastSendActionOsType() == OS_TYPE_PC && user->getLastJoinOsType() != OS_TYPE_MOBILE;
}

void RoomManager::setSessionClosed(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = findLocked(ChatUtil::roomRefOf(roomId, userId));
    User* user = room ? room->getUser(userId) : nullptr;
    // A lost connection must not bring back a member who already left.
    if (!user || user->getJoinState() == JOIN_LEFT) return;
    user->setJoinState(JOIN_SESSION_CLOSE);
    user->setLastJoinOsType(0);
    user->setLastSendActionOsType(0);
    room->checkActiveUser();
}

std::vector<room_key> RoomManager::getRoomList() {
    std::lock_guard<std::mutex> lock(m_mutx);
    std::vector<room_key> keys;
    keys.reserve(m_roomList.size());
    for (const auto& room : m_roomList) keys.push_back({room->getRoomId(), room->getTenantId()});
    return keys;
}

void RoomManager::recheckDueRooms(uint32_t now, const std::function<uint32_t(const Room&)>& recheck) {
    now = std::min<uint32_t>(now, UINT32_MAX - 1);  // so that now + 1 exists
    // In batches, so that the loop never waits long for the lock, even when
    // every room is due at once (the first pass, changed timeouts).
    while (recheckBatch(now, recheck)) {
    }
}

bool RoomManager::recheckBatch(uint32_t now, const std::function<uint32_t(const Room&)>& recheck) {
    std::lock_guard<std::mutex> lock(m_mutx);
    for (size_t n = 0; n < kRecheckBatch; ++n) {
        Room* room = m_idleIndex.top();
        if (!room || RoomIdleHeap::timeOf(*room) > now) return false;
        // Never again in this call, so every due room is looked at once.
        m_idleIndex.refile(*room, std::max(recheck(*room), now + 1));
    }
    return true;
}

void RoomManager::recheckAllRooms() {
    std::lock_guard<std::mutex> lock(m_mutx);
    m_idleIndex.refileAll(0);
}

bool RoomManager::closeRoom(const room_key& key, const std::string& reason) {
    std::unique_ptr<Room> room;
    {
        std::lock_guard<std::mutex> lock(m_mutx);
        auto it = m_roomList.find(room_ref{key.roomId, key.tenantId});
        if (it == m_roomList.end()) return false;
        m_idleIndex.remove(**it);
        room = std::move(m_roomList.extract(it).value());
    }
    room->closeRoom(reason);
    return true;
}

void RoomManager::removeAllRooms() {
    RoomSet gone;
    {
        std::lock_guard<std::mutex> lock(m_mutx);
        m_idleIndex.clear();
        gone.swap(m_roomList);
    }
}

size_t RoomManager::roomCount() {
    std::lock_guard<std::mutex> lock(m_mutx);
    return m_roomList.size();
}

RoomManager::counts_t RoomManager::counts() {
    std::lock_guard<std::mutex> lock(m_mutx);
    counts_t c;
    c.rooms = m_roomList.size();
    for (const std::unique_ptr<Room>& room : m_roomList) c.members += room->getAllUserCount();
    return c;
}

void RoomManager::setRoomInitComplete() {
    m_roomInit = 1;
    g_Logger.log("Loading Room Complete");
}
