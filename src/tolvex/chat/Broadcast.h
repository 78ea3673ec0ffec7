#pragma once
// One fan-out of a packet to the sessions of a room's members, with what
// happened per member (reached, on a mobile, to push, not read, failed).
// Created by a handler for one fan-out, deleted by it; event-loop thread.

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "tolvex/util/ChatTypes.h"

class ChatSession;
class P2PPacket;

class Broadcast {
public:
    // user id -> sessions of that user; the container's copy for one room.
    using SessionMap = std::map<std::string, std::list<ChatSession*>>;

    Broadcast() = default;
    Broadcast(const Broadcast&) = delete;
    Broadcast& operator=(const Broadcast&) = delete;
    virtual ~Broadcast() = default;

    // Each variant starts from empty lists, so the readers describe only the
    // last fan-out. msgInfo gives roomId, fromId, msgNum, msgType, msgDesc.
    void broadcastInvited(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);
    void broadcastRealJoin(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);
    void broadcastMsg(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);
    void broadcastAttachMsg(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                            const std::list<std::string>& userIds);
    void broadcastResendMsg(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                            const std::list<std::string>& userIds);
    void broadcastTypingInfo(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);
    void broadcastLeave(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);
    void broadcastForceLeave(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);
    void broadcastSessionClose(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo);

    // Copies, so callers may keep them after deleting the Broadcast.
    std::map<std::string, std::string> getReadYnList() const { return m_readYnList; }
    std::list<std::string> getPushUserIds() const { return m_pushUserIds; }
    std::map<std::string, std::list<uint16_t>> getSendUserList() const { return m_sendUserList; }
    std::list<std::string> getMobileSuccessList() const { return m_mobileSessionSendList; }
    std::list<send_result> getSendFailList() const { return m_failUserList; }
    int getSendSessionCount() const { return m_sendSessionCount; }

private:
    void broadcast(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                   const SessionMap& sessionList, bool sendMySelf, bool gatherPushUsers);
    void fanOutToMember(ChatSession* mySession, const P2PPacket* pk, const msg_info& msgInfo,
                        const std::string& userId, const std::list<ChatSession*>& sessions,
                        bool sendMySelf, bool gatherPushUsers);
    static void countRelay(uint16_t code);
    void setPushAndNotReadFlag(uint32_t roomId, const std::string& userId, uint8_t msgType,
                               bool foundMobileSession, bool gatherPushUsers);
    void addFailUserList(uint32_t roomId, const std::string& failUserId, uint16_t toOsType,
                         uint32_t failCode);
    void addSendUserList(const std::string& userId, uint16_t osType);
    void addMobileSuccessList(const std::string& userId);
    void sendStateLogging(ChatSession* toSession, const P2PPacket* pk, const msg_info& msgInfo,
                          int sendResultCode);
    SessionMap roomSessions(const msg_info& msgInfo) const;
    SessionMap activeMemberSessions(const msg_info& msgInfo, const std::list<std::string>& userIds) const;

    std::map<std::string, std::string> m_readYnList;               // members marked "n"
    std::list<std::string> m_pushUserIds;                          // in fan-out order
    std::map<std::string, std::list<uint16_t>> m_sendUserList;     // OS types reached per member
    std::list<std::string> m_mobileSessionSendList;                // reached on a mobile session
    std::list<send_result> m_failUserList;                         // no session took the packet
    int m_sendSessionCount = 0;
};
