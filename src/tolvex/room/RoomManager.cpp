#include "tolvex/room/RoomManager.h"

#include "tolvex/Globals.h"
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

Room* RoomManager::findLocked(const room_key& key) const {
    auto it = m_roomList.find(key);
    return it == m_roomList.end() ? nullptr : it->second.get();
}

User* RoomManager::findUserLocked(uint32_t roomId, const std::string& userId) const {
    Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room ? room->getUser(userId) : nullptr;
}

void RoomManager::addRoom(uint32_t roomId, const std::string& userId) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_mutx);
    if (findLocked(key)) return;
    m_roomList.emplace(key, std::make_unique<Room>(roomId, key.tenantId));
    g_Logger.log("ROOM_ADD:%u,%s", roomId, key.tenantId);
}

Room* RoomManager::getRoom(uint32_t roomId, const std::string& userId) {
    return getRoom(ChatUtil::makeRoomKey(roomId, userId));
}

Room* RoomManager::getRoom(const room_key& key) {
    std::lock_guard<std::mutex> lock(m_mutx);
    return findLocked(key);
}

User* RoomManager::getRoomUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    return findUserLocked(roomId, userId);
}

void RoomManager::addRoomUser(uint32_t roomId, const std::string& userId, const std::string& nameInfo) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->addUser(userId, nameInfo);
}

void RoomManager::addRoomUser(uint32_t roomId, std::unique_ptr<User> user) {
    if (!user) return;
    const room_key key = ChatUtil::makeRoomKey(roomId, user->getUserId());
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(key)) room->setUser(std::move(user));
}

void RoomManager::setRoomType(uint32_t roomId, const std::string& userId, uint16_t type) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->setRoomType(type);
}

void RoomManager::joinUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->joinUser(userId);
}

void RoomManager::leaveUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->leaveUser(userId);
}

bool RoomManager::alreadyJoinedUser(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const User* user = findUserLocked(roomId, userId);
    return user && user->getJoinState() == JOIN_JOIN;
}

bool RoomManager::isActiveMember(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room && room->isActiveMember(userId);
}

int64_t RoomManager::getUserJoinSeq(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room ? room->getUserJoinSeq(userId) : JOIN_SEQ_ERROR_NOT_EXIST_ROOM;
}

uint32_t RoomManager::getNextMsgNumber(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room ? room->getNextMsgSeq() : 0;
}

uint32_t RoomManager::getCurrentMsgNumber(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room ? room->getCurrentMsgNumber() : 0;
}

uint32_t RoomManager::getMemberCount(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    const Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room ? room->getActiveMemberCount() : 0;
}

uint32_t RoomManager::getMsgResultSeq(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
    return room ? room->getMsgResultSequence() : 0;
}

void RoomManager::setMaxMsgSeq(uint32_t roomId, const std::string& userId, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->setMaxMsgSeqNum(value);
}

void RoomManager::setMaxJoinSeq(uint32_t roomId, const std::string& userId, uint32_t value) {
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->setMaxJoinSeqNum(value);
}

void RoomManager::updateActionTime(uint32_t roomId, const std::string& userId, uint32_t time) {
    if (time == 0) time = ChatUtil::getUTCTimeSecond();
    std::lock_guard<std::mutex> lock(m_mutx);
    if (Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId))) room->updateLastActionTime(time);
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

void RoomManager::setSessionClosed(uint32_t roomId, const std::string& userId) {
    std::lock_guard<std::mutex> lock(m_mutx);
    Room* room = findLocked(ChatUtil::makeRoomKey(roomId, userId));
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
    for (const auto& [key, room] : m_roomList) keys.push_back(key);
    return keys;
}

void RoomManager::forEachRoom(const std::function<void(const room_key&, Room&)>& fn) {
    std::lock_guard<std::mutex> lock(m_mutx);
    for (const auto& [key, room] : m_roomList) fn(key, *room);
}

bool RoomManager::closeRoom(const room_key& key, const std::string& reason) {
    std::unique_ptr<Room> room;
    {
        std::lock_guard<std::mutex> lock(m_mutx);
        auto it = m_roomList.find(key);
        if (it == m_roomList.end()) return false;
        room = std::move(it->second);
        m_roomList.erase(it);
    }
    room->closeRoom(reason);
    return true;
}

void RoomManager::removeAllRooms() {
    std::map<room_key, std::unique_ptr<Room>> gone;
    {
        std::lock_guard<std::mutex> lock(m_mutx);
        gone.swap(m_roomList);
    }
}

size_t RoomManager::roomCount() {
    std::lock_guard<std::mutex> lock(m_mutx);
    return m_roomList.size();
}

void RoomManager::setRoomInitComplete() {
    m_roomInit = 1;
    g_Logger.log("Loading Room Complete");
}
