#pragma once
// The process-wide registry of open rooms, keyed by room id and tenant; it
// owns the rooms. Every operation locks, so any thread may call them. A
// Room* or User* it returns is for the event-loop thread only: rooms are
// deleted only on that thread, so it stays valid until the loop's next pass.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tolvex/room/Room.h"
#include "tolvex/room/RoomIdleHeap.h"
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
    // One member row loaded from the WAS, under one lock: addRoom, then
    // setRoomType, addRoomUser(user), setMaxMsgSeq, setMaxJoinSeq and
    // updateActionTime, all for user's id.
    void loadMember(uint32_t roomId, uint16_t roomType, std::unique_ptr<User> user, uint32_t maxMsgSeq,
                    uint32_t maxJoinSeq, uint32_t lastRecvTime);
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
    // A member last active on a PC and not seen on a mobile since reads
    // there: no push and no unread mark for it.
    bool readsOnPc(uint32_t roomId, const std::string& userId);
    // Marks a member whose connection failed: JOIN_SESSION_CLOSE, device
    // kinds cleared. Nothing for an absent room or member, and a member who
    // left stays left.
    void setSessionClosed(uint32_t roomId, const std::string& userId);

    // The keys of every room, copied under the lock.
    std::vector<room_key> getRoomList();

    // The idle check looks only at rooms that may be due. Each room is filed
    // under the time it is next to be looked at: a new room, and one whose
    // last action moved back, at once. Calls recheck once for every room
    // filed at now or before, under the lock (taken batch by batch), and
    // files the room again under the time recheck returns, but no earlier
    // than now + 1. recheck must not call back into the registry or the
    // session container.
    void recheckDueRooms(uint32_t now, const std::function<uint32_t(const Room&)>& recheck);
    // Files every room to be looked at once (the idle timeouts changed).
    void recheckAllRooms();
    // Closes the room (its end line names reason), removes and deletes it.
    // False when absent. Loop thread.
    bool closeRoom(const room_key& key, const std::string& reason);
    // Deletes every room without a log line (process end, tests).
    void removeAllRooms();
    size_t roomCount();
    // Rooms and their members (left ones included), counted under the lock:
    // a walk of every room, for a scrape or a statistics line, not a pass.
    struct counts_t {
        uint64_t rooms = 0;
        uint64_t members = 0;
    };
    counts_t counts();

    void setRoomInitComplete();
    bool isRoomInitComplete() const { return m_roomInit.load() == 1; }
    // Room loading starts over (a reload, or tests of the not-ready path).
    void resetRoomInit() { m_roomInit = 0; }
    void setMaxLoadedRoomId(uint32_t id) { m_maxLoadedRoomId = id; }
    uint32_t getMaxLoadedRoomId() const { return m_maxLoadedRoomId; }
    void setCallNextRoomListAvailable(bool available) { m_callNextRoomListAvailable = available; }
    bool getCallNextRoomListAvailable() const { return m_callNextRoomListAvailable; }

private:
    // Rooms by id, then tenant, found by their own fields, so that a room's
    // tenant is held once.
    struct RoomOrder {
        using is_transparent = void;
        static room_ref refOf(const std::unique_ptr<Room>& r) { return {r->getRoomId(), r->getTenantId()}; }
        static room_ref refOf(const room_ref& r) { return r; }
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            return room_order()(refOf(a), refOf(b));
        }
    };
    using RoomSet = std::set<std::unique_ptr<Room>, RoomOrder>;
    static constexpr size_t kRecheckBatch = 256;

    RoomManager();
    // m_mutx must be held by all of these.
    Room* findLocked(const room_ref& ref) const;
    User* findUserLocked(uint32_t roomId, const std::string& userId) const;
    // The room of userId's tenant, created (and logged) when absent.
    Room* addRoomLocked(uint32_t roomId, const std::string& userId);
    void setActionTimeLocked(Room& room, uint32_t time);
    // One batch of recheckDueRooms; true when more rooms are due.
    bool recheckBatch(uint32_t now, const std::function<uint32_t(const Room&)>& recheck);

    // A leaf lock: nothing but a log's own mutex is taken while it is held,
    // so it may be taken under the session container's lock.
    mutable std::mutex m_mutx;
    RoomSet m_roomList;     // guarded by m_mutx
    RoomIdleHeap m_idleIndex;  // guarded by m_mutx; rooms of m_roomList
    std::atomic<uint32_t> m_roomInit{0};
    std::atomic<uint32_t> m_maxLoadedRoomId{0};
    std::atomic<bool> m_callNextRoomListAvailable{true};
};
