#pragma once
// One open room: its members (owned) and its counters for messages, joins
// and result notices. Owned by RoomManager, which changes rooms under its
// lock; a Room* handed to the event-loop thread is for that thread only.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/room/User.h"

class Room {
public:
    Room(uint32_t roomId, std::string tenantId);
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;
    ~Room();

    // Adds a new member record unless userId is an active member already
    // (a member who left gets a new record and a new join sequence).
    void addUser(const std::string& userId, const std::string& nameInfo);
    // A JOIN_INVITED record with the room's next join sequence.
    std::unique_ptr<User> createUser(const std::string& userId, const std::string& nameInfo);
    // Replaces any record of the same id.
    void insertUser(std::unique_ptr<User> user);
    // A record loaded from the WAS: kept only if no member of that id has a
    // higher join sequence; raises the join counter to it.
    void setUser(std::unique_ptr<User> user);
    // JOIN_JOIN; a member who left first gets a fresh join sequence. An
    // unknown id is ignored.
    void joinUser(const std::string& userId);
    void leaveUser(const std::string& userId);
    void checkActiveUser();

    // Members not in JOIN_LEFT, in user-id order. Valid until the room changes.
    std::vector<User*> getActiveUserList() const;
    User* getUser(const std::string& userId) const;
    bool isMember(const std::string& userId) const;
    bool isActiveMember(const std::string& userId) const;
    bool isLeftMember(const std::string& userId) const;
    // JOIN_SEQ_ERROR_NOT_EXIST_USER, JOIN_SEQ_ERROR_LEFT, or the join sequence.
    int64_t getUserJoinSeq(const std::string& userId) const;

    uint32_t getNextMsgSeq() { return ++m_msgSeqNumber; }
    uint32_t getCurrentMsgNumber() const { return m_msgSeqNumber; }
    uint32_t getMsgResultSequence() { return ++m_msgResultSequence; }
    uint32_t getJoinSeqNumber() const { return m_joinSeqNumber; }
    // Raise a counter to n; never lower it.
    void setMaxMsgSeqNum(uint32_t n);
    void setMaxJoinSeqNum(uint32_t n);

    // Through RoomManager::updateActionTime for a registered room: only it
    // tells the idle check that the time moved back.
    void updateLastActionTime(uint32_t t) { m_lastActionTime = t; }
    uint32_t getLastActionTime() const { return m_lastActionTime; }
    // At least timeoutMin whole minutes idle (never for timeoutMin < 1).
    bool isOld(int timeoutMin) const;
    bool isOld(int timeoutMin, uint32_t now) const;
    // Whole minutes idle at now (0 when the clock went back).
    uint32_t idleMinutes(uint32_t now) const;

    // Three or more member records of any state, or a group room type.
    bool isGroupRoom() const;
    bool isRoomEmpty() const { return m_activeUserCount == 0; }
    bool isRoomAllEmpty() const { return m_allUserCount == 0; }
    uint32_t getActiveMemberCount() const { return m_activeUserCount; }
    uint32_t getAllUserCount() const { return m_allUserCount; }

    void cleanRoom();
    // cleanRoom, then the room's end line in the chat log.
    void closeRoom(const std::string& reason);

    uint32_t getRoomId() const { return m_roomId; }
    const std::string& getTenantId() const { return m_tenantId; }
    uint16_t getRoomType() const { return m_roomType; }
    void setRoomType(uint16_t type) { m_roomType = type; }

private:
    friend class RoomIdleHeap;

    // Sorted by user id, each id held once (by its User). A vector: loaded
    // rooms are many and small, and even a room of thousands inserts by
    // moving pointers.
    using UserList = std::vector<std::unique_ptr<User>>;

    UserList::iterator lowerBound(std::string_view userId);
    UserList::const_iterator lowerBound(std::string_view userId) const;
    // Adds (sign 1) or takes away (sign -1) what user counts for in the
    // active and all-member counts.
    void countUser(const User& user, int sign);

    uint32_t m_roomId;
    uint32_t m_msgSeqNumber = 0;
    uint32_t m_joinSeqNumber = 0;
    uint32_t m_activeUserCount = 0;  // JOIN_INVITED or JOIN_JOIN
    uint32_t m_allUserCount = 0;     // everyone who has not left
    uint32_t m_msgResultSequence = 0;
    uint32_t m_lastActionTime;
    uint32_t m_idleCheckTime = 0;  // RoomIdleHeap's: when the room is next looked at
    uint32_t m_idleSlot = 0;       // RoomIdleHeap's: where the room sits in it
    uint16_t m_roomType = 0;
    std::string m_tenantId;
    UserList m_userList;
};
