#include "tolvex/ack/SendMsgDetail.h"

#include <algorithm>

uint32_t SendMsgDetail::getRemainAckCount(const std::string& userId) const {
    auto it = m_userList.find(userId);
    return it == m_userList.end() ? 0 : static_cast<uint32_t>(it->second.size());
}

void SendMsgDetail::removeUserOsType(const std::string& userId, uint16_t osType) {
    auto it = m_userList.find(userId);
    if (it == m_userList.end()) return;
    std::list<uint16_t>& osTypes = it->second;
    auto os = std::find(osTypes.begin(), osTypes.end(), osType);
    if (os != osTypes.end()) osTypes.erase(os);
    if (osTypes.empty()) m_userList.erase(it);
}
