#include "tolvex/room/Room.h"

#include <algorithm>
#include <utility>

#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

Room::Room(uint32_t roomId, std::string tenantId)
    : m_roomId(roomId),
      m_lastActionTime(ChatUtil::getUTCTimeSecond()),
      m_tenantId(std::move(tenantId)) {}

Room::~Room() = default;

namespace {

// The first member whose id is not below userId. Both sides are views: clang
// 14 with libstdc++ 12 cannot compile string < string_view in C++20.
template <typename It>
It lowerBoundOf(It first, It last, std::string_view userId) {
    return std::lower_bound(first, last, userId, [](const std::unique_ptr<User>& u, std::string_view id) {
        return std::string_view(u->getUserId()) < id;
    });
}

}  // namespace

Room::UserList::iterator Room::lowerBound(std::string_view userId) {
    return lowerBoundOf(m_userList.begin(), m_userList.end(), userId);
}

Room::UserList::const_iterator Room::lowerBound(std::string_view userId) const {
    return lowerBoundOf(m_userList.begin(), m_userList.end(), userId);
}

void Room::countUser(const User& user, int sign) {
    const uint32_t state = user.getJoinState();
    if (state == JOIN_INVITED || state == JOIN_JOIN) m_activeUserCount += sign;
    if (state == JOIN_INVITED || state == JOIN_JOIN || state == JOIN_SESSION_CLOSE) m_allUserCount += sign;
}

void Room::addUser(const std::string& userId, const std::string& nameInfo) {
    if (isActiveMember(userId)) return;
    insertUser(createUser(userId, nameInfo));
}

std::unique_ptr<User> Room::createUser(const std::string& userId, const std::string& nameInfo) {
    auto user = std::make_unique<User>(userId, nameInfo);
    user->setJoinSeq(++m_joinSeqNumber);
    user->setJoinState(JOIN_INVITED);
    return user;
}

void Room::insertUser(std::unique_ptr<User> user) {
    if (!user) return;
    countUser(*user, 1);
    auto it = lowerBound(user->getUserId());
    if (it != m_userList.end() && (*it)->getUserId() == user->getUserId()) {
        countUser(**it, -1);
        *it = std::move(user);
    } else {
        m_userList.insert(it, std::move(user));
    }
}

void Room::setUser(std::unique_ptr<User> user) {
    if (!user) return;
    const User* existing = getUser(user->getUserId());
    if (existing && existing->getJoinSeq() > user->getJoinSeq()) return;  // the newer record stays
    const uint32_t seq = user->getJoinSeq();
    insertUser(std::move(user));
    setMaxJoinSeqNum(seq);
}

void Room::joinUser(const std::string& userId) {
    User* user = getUser(userId);
    if (!user) return;
    countUser(*user, -1);
    if (user->getJoinState() == JOIN_LEFT) user->setJoinSeq(++m_joinSeqNumber);
    user->setJoinState(JOIN_JOIN);
    countUser(*user, 1);
}

void Room::leaveUser(const std::string& userId) {
    User* user = getUser(userId);
    if (!user) return;
    countUser(*user, -1);
    user->leave();
    countUser(*user, 1);
}

void Room::checkActiveUser() {
    m_activeUserCount = 0;
    m_allUserCount = 0;
    for (const auto& user : m_userList) countUser(*user, 1);
}

std::vector<User*> Room::getActiveUserList() const {
    std::vector<User*> users;
    for (const auto& user : m_userList)
        if (user->getJoinState() != JOIN_LEFT) users.push_back(user.get());
    return users;
}

User* Room::getUser(const std::string& userId) const {
    auto it = lowerBound(userId);
    return it != m_userList.end() && (*it)->getUserId() == userId ? it->get() : nullptr;
}

bool Room::isMember(const std::string& userId) const {
    return getUser(userId) != nullptr;
}

bool Room::isActiveMember(const std::string& userId) const {
    const User* user = getUser(userId);
    return user && user->getJoinState() != JOIN_LEFT;
}

bool Room::isLeftMember(const std::string& userId) const {
    const User* user = getUser(userId);
    return user && user->getJoinState() == JOIN_LEFT;
}

int64_t Room::getUserJoinSeq(const std::string& userId) const {
    const User* user = getUser(userId);
    if (!user) return JOIN_SEQ_ERROR_NOT_EXIST_USER;
    if (user->getJoinState() == JOIN_LEFT) return JOIN_SEQ_ERROR_LEFT;
    return user->getJoinSeq();
}

void Room::setMaxMsgSeqNum(uint32_t n) {
    if (m_msgSeqNumber < n) m_msgSeqNumber = n;
}

void Room::setMaxJoinSeqNum(uint32_t n) {
    if (m_joinSeqNumber < n) m_joinSeqNumber = n;
}

bool Room::isOld(int timeoutMin) const {
    return isOld(timeoutMin, ChatUtil::getUTCTimeSecond());
}

bool Room::isOld(int timeoutMin, uint32_t now) const {
    if (timeoutMin < 1) return false;
    return idleMinutes(now) >= static_cast<uint32_t>(timeoutMin);
}

uint32_t Room::idleMinutes(uint32_t now) const {
    return now > m_lastActionTime ? (now - m_lastActionTime) / 60 : 0;
}

bool Room::isGroupRoom() const {
    return m_userList.size() >= 3 || m_roomType == ROOM_TYPE_GROUP;
}

void Room::cleanRoom() {
    m_userList.clear();
    checkActiveUser();
}

void Room::closeRoom(const std::string& reason) {
    cleanRoom();
    ChatUtil::roomEndLogging(m_roomId, reason);
}
