#pragma once
// One member of one room: identity, join sequence and state, the device
// kinds last seen and the mobile push count. Owned by its Room; read and
// changed on the event-loop thread (workers go through RoomManager's lock).

#include <cstdint>
#include <string>

class User {
public:
    // A new member: join sequence 0, JOIN_INVITED, no device kinds, no pushes.
    User(std::string userId, std::string nameInfo);
    User(const User&) = delete;
    User& operator=(const User&) = delete;
    ~User() = default;

    void init();
    // JOIN_LEFT, device kinds and push count cleared; the join sequence stays.
    void leave();

    const std::string& getUserId() const { return m_userId; }
    const std::string& getNameInfo() const { return m_nameInfo; }
    void setNameInfo(const std::string& nameInfo) { m_nameInfo = nameInfo; }
    uint32_t getJoinSeq() const { return m_joinSeq; }
    void setJoinSeq(uint32_t seq) { m_joinSeq = seq; }
    uint32_t getJoinState() const { return m_joinState; }
    void setJoinState(uint32_t state) { m_joinState = state; }
    uint16_t getLastJoinOsType() const { return m_lastJoinOsType; }
    void setLastJoinOsType(uint16_t osType) { m_lastJoinOsType = osType; }
    uint16_t getLastSendActionOsType() const { return m_lastSendActionOsType; }
    void setLastSendActionOsType(uint16_t osType) { m_lastSendActionOsType = osType; }
    uint32_t getPushAlarmCount() const { return m_pushAlarmCount; }
    void setPushAlarmCount(uint32_t count) { m_pushAlarmCount = count; }
    void increasePushAlarmCount() { ++m_pushAlarmCount; }
    void resetPushAlarmCount() { m_pushAlarmCount = 0; }

private:
    std::string m_userId;
    std::string m_nameInfo;
    uint32_t m_joinSeq = 0;
    uint32_t m_joinState = 0;
    uint16_t m_lastJoinOsType = 0;
    uint16_t m_lastSendActionOsType = 0;
    uint32_t m_pushAlarmCount = 0;
};
