#include "tolvex/room/User.h"

#include <utility>

#include "tolvex/util/ChatCodes.h"

User::User(std::string userId, std::string nameInfo)
    : m_userId(std::move(userId)), m_nameInfo(std::move(nameInfo)) {
    init();
}

void User::init() {
    m_joinSeq = 0;
    m_joinState = JOIN_INVITED;
    m_lastJoinOsType = 0;
    m_lastSendActionOsType = 0;
    m_pushAlarmCount = 0;
}

void User::leave() {
    m_joinState = JOIN_LEFT;
    m_lastJoinOsType = 0;
    m_lastSendActionOsType = 0;
    m_pushAlarmCount = 0;
}
