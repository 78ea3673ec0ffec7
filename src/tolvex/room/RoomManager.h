#pragma once
// The process-wide registry of open rooms, keyed by room id and tenant; it
// owns the rooms. Every operation locks, so any thread may call them. A
// Room* or User* it returns is for the event-loop thread only: rooms are
// deleted only on that thread, so it stays valid until the loop's next pass.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tolvex/room/Room.h"
#include "tolvex/util/ChatTypes.h"

class RoomManager {
public:
    static RoomManager& getInst();

    RoomManager(const RoomManager&) = delete;
    RoomManager& operator=(const RoomManager&) = delete;
    virtual ~RoomManager();

    // Creates the room for userId's tenant unless it exists.
    void addRoom(uint32_t roomId, const std::string& userId);
    // Null when absent. Loop thread only (see above).
    Room* getRoom(uint32_t roomId, const std::string& userId);
    Room* getRoom(const room_key& key);
    User* getRoomUser(uint32_t roomId, const std::string& userId);

    void addRoomUser(uint32_t roomId, const std::string& userId, const std::string& nameInfo);
    // A member record loaded from the WAS; the room takes it (and drops it
    // when the room is absent).
    void addRoomUser(uint32_t roomId, std::unique_ptr<User> user);
    void setRoomType(uint32_t roomId, const std::string& userId, uint16_t type);
    void joinUser(uint32_t roomId, const std::string& userId);
    void leaveUser(uint32_t roomId, const std::string& userId);

    bool alreadyJoinedUser(uint32_t roomId, const std::string& userId);
    bool isActiveMember(uint32_t roomId, const std::string& userId);
    // JOIN_SEQ_ERROR_NOT_EXIST_ROOM, _NOT_EXIST_USER, _LEFT, or the sequence.
    int64_t getUserJoinSeq(uint32_t roomId, const std::string& userId);
    // 0 when the room is absent.
    uint32_t getNextMsgNumber(uint32_t roomId, const std::string& userId);
    uint32_t getCurrentMsgNumber(uint32_t roomId, const std::string& userId);
    uint32_t getMemberCount(uint32_t roomId, const std::string& userId);
    uint32_t getMsgResultSeq(uint32_t roomId, const std::string& userId);
    void setMaxMsgSeq(uint32_t roomId, const std::string& userId, uint32_t value);
    void setMaxJoinSeq(uint32_t roomId, const std::string& userId, uint32_t value);
    // time 0 means now.
    void updateActionTime(uint32_t roomId, const std::string& userId, uint32_t time);

    uint32_t getPushAlarmCount(uint32_t roomId, const std::string& userId);
    void increasePushAlarmCount(uint32_t roomId, const std::string& userId);
    void resetPushAlarmCount(uint32_t roomId, const std::string& userId);
    // OS_TYPE_PC when the room or member is absent.
    uint16_t getLastJoinOsType(uint32_t roomId, const std::string& userId);
    uint16_t getLastSendActionOsType(uint32_t roomId, const std::string& userId);
    // Marks a member whose connection failed: JOIN_SESSION_CLOSE, device
    // kinds cleared. Nothing for an absent room or member, and a member who
    // left stays left.
    void setSessionClosed(uint32_t roomId, const std::string& userId);

    // The keys of every room, copied under the lock (workers walk these).
    std::vector<room_key> getRoomList();
    // Runs fn on every room under the lock; fn must not call back into
    // the registry or the session container.
    void forEachRoom(const std::function<void(const room_key&, Room&)>& fn);
    // Closes the room (its end line names reason), removes and deletes it.
    // False when absent. Loop thread.
    bool closeRoom(const room_key& key, const std::string& reason);
    // Deletes every room without a log line (process end, tests).
    void removeAllRooms();
    size_t roomCount();

    void setRoomInitComplete();
    bool isRoomInitComplete() const { return m_roomInit.load() == 1; }
    // Room loading starts over (a reload, or tests of the not-ready path).
    void resetRoomInit() { m_roomInit = 0; }
    void setMaxLoadedRoomId(uint32_t id) { m_maxLoadedRoomId = id; }
    uint32_t getMaxLoadedRoomId() const { return m_maxLoadedRoomId; }
    void setCallNextRoomListAvailable(bool available) { m_callNextRoomListAvailable = available; }
    bool getCallNextRoomListAvailable() const { return m_callNextRoomListAvailable; }

private:
    RoomManager();
    // The room for key, or null; m_mutx must be held.
    Room* findLocked(const room_key& key) const;
    User* findUserLocked(uint32_t roomId, const std::string& userId) const;

    // A leaf lock: nothing but a log's own mutex is taken while it is held,
    // so it may be taken under the session container's lock.
    mutable std::mutex m_mutx;
    std::map<room_key, std::unique_ptr<Room>> m_roomList;  // guarded by m_mutx
    std::atomic<uint32_t> m_roomInit{0};
    std::atomic<uint32_t> m_maxLoadedRoomId{0};
    std::atomic<bool> m_callNextRoomListAvailable{true};
};
