#include "tolvex/chat/Broadcast.h"

#include <exception>

#include "p2p/P2PPacket.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

namespace {

}  // namespace

void Broadcast::broadcastInvited(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    SessionMap sessions = roomSessions(msgInfo);
    sessions.erase(fromIdOf(msgInfo));
    broadcast(mySession, pk, msgInfo, sessions, true, false);
}

void Broadcast::broadcastRealJoin(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    broadcast(mySession, pk, msgInfo, roomSessions(msgInfo), false, false);
}

void Broadcast::broadcastMsg(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    broadcast(mySession, pk, msgInfo, roomSessions(msgInfo), false, true);
}

void Broadcast::broadcastAttachMsg(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                                   const std::list<std::string>& userIds) {
    broadcast(mySession, pk, msgInfo, activeMemberSessions(msgInfo, userIds), false, true);
}

void Broadcast::broadcastResendMsg(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                                   const std::list<std::string>& userIds) {
    broadcast(mySession, pk, msgInfo, activeMemberSessions(msgInfo, userIds), false, true);
}

void Broadcast::broadcastTypingInfo(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    broadcast(mySession, pk, msgInfo, roomSessions(msgInfo), false, false);
}

void Broadcast::broadcastLeave(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    broadcast(mySession, pk, msgInfo, roomSessions(msgInfo), false, false);
}

void Broadcast::broadcastForceLeave(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    broadcast(mySession, pk, msgInfo, roomSessions(msgInfo), true, false);
}

void Broadcast::broadcastSessionClose(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo) {
    broadcast(mySession, pk, msgInfo, roomSessions(msgInfo), false, false);
}

Broadcast::SessionMap Broadcast::roomSessions(const msg_info& msgInfo) const {
    return SessionContainer::getInstance().getSessionList(msgInfo.roomId, fromIdOf(msgInfo), OS_TYPE_ALL);
}

Broadcast::SessionMap Broadcast::activeMemberSessions(const msg_info& msgInfo,
                                                      const std::list<std::string>& userIds) const {
    const SessionMap roomMap = roomSessions(msgInfo);
    SessionMap listed;
    for (const std::string& id : userIds) {
        if (listed.count(id) || !RoomManager::getInst().isActiveMember(msgInfo.roomId, id)) continue;
        auto it = roomMap.find(id);
        listed.emplace(id, it != roomMap.end() ? it->second : std::list<ChatSession*>());
    }
    return listed;
}

void Broadcast::broadcast(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                          const SessionMap& sessionList, bool sendMySelf, bool gatherPushUsers) {
    m_readYnList.clear();
    m_pushUserIds.clear();
    m_sendUserList.clear();
    m_mobileSessionSendList.clear();
    m_failUserList.clear();
    m_sendSessionCount = 0;
    try {
        for (const auto& [userId, sessions] : sessionList)
            fanOutToMember(mySession, pk, msgInfo, userId, sessions, sendMySelf, gatherPushUsers);
    } catch (const std::exception& e) {
        // The lists keep what was gathered before the failure.
        g_Logger.log("Quillon BroadCast Error: %s", e.what());
    }
}

void Broadcast::fanOutToMember(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                               const std::string& userId, const std::list<ChatSession*>& sessions,
                               bool sendMySelf, bool gatherPushUsers) {
    bool foundMobileSession = false;
    // A member without any session is never a send failure: push stands in.
    bool isSendTrue = sessions.empty();
    uint16_t lastFailOsType = 0;
    uint32_t sendFailCode = SEND_RESULT_NO_SESSION;
    const bool conversation = ChatUtil::isTypeOfConversation(msgInfo.msgType);

    for (ChatSession* toSession : sessions) {
        if (!toSession || toSession->isDeadAlive()) continue;
        if (!sendMySelf && mySession && toSession->isMySelf(mySession)) {
            foundMobileSession = true;
            isSendTrue = true;
            continue;
        }
        const uint16_t osType = toSession->getOsType();
        if (osType == OS_TYPE_MOBILE) foundMobileSession = true;
        const int pushResult = toSession->chatPush(pk);
        if (pushResult == 0) {
            ++m_sendSessionCount;
            countRelay(pk->m_h.code);
            isSendTrue = true;
            if (conversation) {
                addSendUserList(toSession->getUserId(), osType);
                if (osType == OS_TYPE_MOBILE) addMobileSuccessList(toSession->getUserId());
            }
        } else {
            sendFailCode = SEND_RESULT_NO_SESSION;
            lastFailOsType = osType;
        }
        sendStateLogging(toSession, pk, msgInfo, pushResult);
    }
    if (!isSendTrue) addFailUserList(msgInfo.roomId, userId, lastFailOsType, sendFailCode);
    setPushAndNotReadFlag(msgInfo.roomId, userId, msgInfo.msgType, foundMobileSession, gatherPushUsers);
}

void Broadcast::countRelay(uint16_t code) {
    // Room notices (joins, leaves) go out through here too; they are no relays.
    Metrics& metrics = Metrics::getInst();
    if (code == MSG_RELAY) Metrics::add(metrics.relaysSent[Metrics::KIND_MESSAGE]);
    else if (code == ATTACH_ALARM_RELAY) Metrics::add(metrics.relaysSent[Metrics::KIND_ATTACHMENT]);
    else if (code == TYPING_ALARM) Metrics::add(metrics.relaysSent[Metrics::KIND_TYPING]);
}

void Broadcast::setPushAndNotReadFlag(uint32_t roomId, const std::string& userId, uint8_t msgType,
                                      bool foundMobileSession, bool gatherPushUsers) {
    if (gatherPushUsers && !foundMobileSession) {
        m_pushUserIds.push_back(userId);
        // A pushed member's mobile answers for it once the push arrives.
        if (ChatUtil::isTypeOfConversation(msgType)) addSendUserList(userId, OS_TYPE_MOBILE);
    }
    if (foundMobileSession) return;
    if (RoomManager::getInst().readsOnPc(roomId, userId)) return;
    m_readYnList.emplace(userId, "n");
}

void Broadcast::addFailUserList(uint32_t roomId, const std::string& failUserId, uint16_t toOsType,
                                uint32_t failCode) {
    User* user = RoomManager::getInst().getRoomUser(roomId, failUserId);
    if (!user) {
        g_Logger.log("addFailUserList().  Not Existing User %d:%s", static_cast<int>(roomId),
                     logText(failUserId).c_str());
        return;
    }
    send_result result;
    setMsgText(result.userId, result.userIdLen, failUserId);
    setMsgText(result.userNameInfo, result.userNameInfoLen, user->getNameInfo());
    result.osType = toOsType;
    result.sendResultCode = failCode;
    result.joinSeq = user->getJoinSeq();
    m_failUserList.push_back(result);
}

void Broadcast::addSendUserList(const std::string& userId, uint16_t osType) {
    m_sendUserList[userId].push_back(osType);
}

void Broadcast::addMobileSuccessList(const std::string& userId) {
    m_mobileSessionSendList.push_back(userId);
}

void Broadcast::sendStateLogging(ChatSession* toSession, const P2PPacket* pk, const msg_info& msgInfo,
                                 int sendResultCode) {
    if (pk->m_h.code == TYPING_ALARM) return;
    ChatUtil::sendLogging(msgInfo.roomId, static_cast<int>(msgInfo.msgNum), ChatUtil::getEventName(pk->m_h.code),
                          toSession->getUserId(), toSession->getOsType(), sendResultCode, cText(msgInfo.msgDesc));
}
