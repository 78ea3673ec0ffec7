#pragma once
// Which client sessions are present in which room, for which user and on
// which device: one live session per user, room and device kind. Indexes
// sessions it does not own (a dying ChatSession unlists itself) and uses
// their pointers only under its lock. Single instance; any thread.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "tolvex/util/ChatTypes.h"

class ChatSession;
class P2PPacket;

class SessionContainer {
public:
    using sessionlist_t = std::list<ChatSession*>;
    using sessionmap_t = std::map<std::string, sessionlist_t>;  // user id -> sessions, registration order
    using room_sessionmap_t = std::map<room_key, sessionmap_t>;

    static SessionContainer& getInstance();

    SessionContainer(const SessionContainer&) = delete;
    SessionContainer& operator=(const SessionContainer&) = delete;
    virtual ~SessionContainer() = default;

    // Every operation finds the room by roomId and the tenant of userId.

    // Ensures the room and user entries; lists session (unless null), after
    // closing an older session of the same user and device kind.
    void addSession(uint32_t roomId, const std::string& userId, ChatSession* session);
    void addEmptySession(uint32_t roomId, const std::string& userId);
    // Unlists session itself (never another session of the same user).
    void removeSession(uint32_t roomId, const std::string& userId, ChatSession* session);
    // Closes and unlists the user's sessions of every device kind but
    // excludeOsType (OS_TYPE_ALL: of every kind).
    void forceLeaveOtherSession(uint32_t roomId, const std::string& userId, uint16_t excludeOsType);
    // Drops the user's entry; its sessions stay open.
    void clearUser(uint32_t roomId, const std::string& userId);
    // Closes every session still listed in the room and drops the room.
    void clearRoom(uint32_t roomId, const std::string& userId);
    void clearRoom(const room_key& key);

    // The first session of the user of that device kind (OS_TYPE_ALL: any),
    // or null. The pointer is for the event-loop thread only.
    ChatSession* getSession(uint32_t roomId, const std::string& userId, uint16_t osType);
    // A copy of the user's list (empty when absent).
    sessionlist_t getSessionList(uint32_t roomId, const std::string& userId);
    // Every user of the room with its sessions of that kind (OS_TYPE_ALL:
    // all); users without such sessions get an empty list.
    sessionmap_t getSessionList(uint32_t roomId, const std::string& userId, uint16_t osType);
    // Sessions listed in the room over all users; 0 for an absent room.
    int getSessionCount(uint32_t roomId, const std::string& userId);
    int getSessionCount(const room_key& key);
    // chatPush to the user's session of that kind; its result, or -1 (and
    // a log line) when there is none.
    int push(uint32_t roomId, const std::string& userId, uint16_t osType, const P2PPacket* pk);
    bool existPcSession(uint32_t roomId, const std::string& userId);

    // Unlists session wherever it is listed. Called by a ChatSession that is
    // being destroyed; never while this container's lock is held.
    void unlistSession(ChatSession* session);

    void catchSessionLock() { m_lock.lock(); }
    void releaseSessionLock() { m_lock.unlock(); }

private:
    struct listing_t {
        room_key key;
        std::string userId;
    };

    SessionContainer() = default;

    // With m_lock held. Returns whether joinSession may be listed.
    bool clearDuplicatedSession(const room_key& key, uint32_t roomId, const std::string& userId,
                                uint16_t osType, ChatSession* joinSession);
    void listLocked(const room_key& key, const std::string& userId, sessionlist_t& list, ChatSession* s);
    sessionlist_t::iterator unlistLocked(const room_key& key, const std::string& userId, sessionlist_t& list,
                                         sessionlist_t::iterator it);
    void forgetListLocked(const room_key& key, const std::string& userId, const sessionlist_t& list);
    void clearRoomLocked(const room_key& key);
    sessionlist_t* findListLocked(const room_key& key, const std::string& userId);
    ChatSession* findSessionLocked(const room_key& key, const std::string& userId, uint16_t osType);

    // Lock order: this lock, then a session's own lock (a push), then the
    // room registry's leaf lock. Not recursive: nothing run while it is held
    // may call back into a locking operation here.
    std::mutex m_lock;
    room_sessionmap_t m_roomSessionList;                 // guarded by m_lock
    std::multimap<const ChatSession*, listing_t> m_listings;  // where each session is listed; m_lock
};
