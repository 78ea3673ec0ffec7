#pragma once
// One relayed message still owed relay ACKs: who must acknowledge it and on
// which device kinds. A value: the registry (AckRoom) owns the live copy and
// changes it under the room's lock; anybody else holds a copy.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <string>

class SendMsgDetail {
public:
    // member user id -> OS types from which a relay ACK is still expected
    using UserList = std::map<std::string, std::list<uint16_t>>;

    SendMsgDetail() = default;
    ~SendMsgDetail() = default;
    SendMsgDetail(const SendMsgDetail&) = default;
    SendMsgDetail& operator=(const SendMsgDetail&) = default;

    uint32_t getRoomId() const { return m_roomId; }
    void setRoomId(uint32_t v) { m_roomId = v; }
    uint32_t getMsgNum() const { return m_msgNum; }
    void setMsgNum(uint32_t v) { m_msgNum = v; }
    // The body trid of the sender's message.
    uint32_t getTrid() const { return m_trid; }
    void setTrid(uint32_t v) { m_trid = v; }
    uint16_t getFromOsType() const { return m_fromOsType; }
    void setFromOsType(uint16_t v) { m_fromOsType = v; }
    const std::string& getFromUserId() const { return m_fromUserId; }
    void setFromUserId(const std::string& v) { m_fromUserId = v; }
    // The message's server time (UTC seconds): where its timeout starts.
    time_t getMsgTime() const { return m_msgTime; }
    void setMsgTime(time_t v) { m_msgTime = v; }
    uint32_t getMsgType() const { return m_msgType; }
    void setMsgType(uint32_t v) { m_msgType = v; }
    const std::string& getTempMsg() const { return m_tempMsg; }
    void setTempMsg(const std::string& v) { m_tempMsg = v; }

    void setUserList(const UserList& users) { m_userList = users; }
    const UserList& getUserList() const { return m_userList; }
    size_t getUserSize() const { return m_userList.size(); }
    // OS types still listed for userId; 0 when the member is not listed.
    uint32_t getRemainAckCount(const std::string& userId) const;

    // The sender never owes an ACK for its own message.
    void removeFromUserId() { m_userList.erase(m_fromUserId); }
    void removeUser(const std::string& userId) { m_userList.erase(userId); }
    // Drops the first osType listed for userId, and the member with its
    // last one; nothing when the member is not listed.
    void removeUserOsType(const std::string& userId, uint16_t osType);

private:
    uint32_t m_roomId = 0;
    uint32_t m_msgNum = 0;
    uint32_t m_trid = 0;
    uint16_t m_fromOsType = 0;
    std::string m_fromUserId;
    UserList m_userList;
    time_t m_msgTime = 0;
    uint32_t m_msgType = 0;
    std::string m_tempMsg;
};
