#pragma once
// Which client sessions are present in which room, for which user and on
// which device: one live session per user, room and device kind. Indexes
// sessions it does not own (a dying ChatSession unlists itself).
// Counts and checks may come from any thread (the workers ask how many
// sessions a room has); operations that hand out session pointers, or push
// or close through them, belong to the event-loop thread. Sessions end only
// there, in the poller's dispatch, so a pointer handed out stays valid for
// the rest of the handler call that asked for it.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tolvex/util/ChatTypes.h"

class ChatSession;
class P2PPacket;

class SessionContainer {
public:
    // The copies handed out.
    using sessionlist_t = std::list<ChatSession*>;
    using sessionmap_t = std::map<std::string, sessionlist_t>;  // user id -> sessions, registration order

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
    // or null. This and the lists below: event-loop thread.
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


private:
    using sessionvec_t = std::vector<ChatSession*>;  // registration order

    // One user listed in a room. Most are loaded members who never connect,
    // so the id takes a single allocation and the sessions none until one
    // is listed.
    class Member {
    public:
        explicit Member(std::string_view userId);
        std::string_view id() const;
        // Null when none is listed.
        sessionvec_t* listed() { return m_sessions.get(); }
        const sessionvec_t* listed() const { return m_sessions.get(); }
        sessionvec_t& sessions();
        // Gives back the session list once it is empty.
        void compact();

    private:
        std::unique_ptr<char[]> m_id;  // the length (uint32_t), then the bytes
        std::unique_ptr<sessionvec_t> m_sessions;
    };
    using Members = std::vector<Member>;  // sorted by user id
    using RoomMap = std::map<room_key, Members, room_order>;

    struct listing_t {
        room_key key;
        std::string userId;
        uint16_t osType = 0;  // as listed: the sessions gauge gives back what it took
    };
    // A user's entry (null when absent), its room's key and members.
    struct found_t {
        const room_key* key = nullptr;
        Members* members = nullptr;
        Member* member = nullptr;
    };

    SessionContainer() = default;

    void clearRoom(const room_ref& ref);
    int getSessionCount(const room_ref& ref);

    // All of these with m_lock held.
    found_t findLocked(const room_ref& ref, std::string_view userId);
    // Returns whether joinSession may be listed.
    bool clearDuplicatedSession(const room_key& key, uint32_t roomId, const std::string& userId, Member& member,
                                uint16_t osType, ChatSession* joinSession);
    void listLocked(const room_key& key, std::string_view userId, sessionvec_t& list, ChatSession* s);
    sessionvec_t::iterator unlistLocked(const room_key& key, std::string_view userId, sessionvec_t& list,
                                        sessionvec_t::iterator it);
    // Unlists session from the found entry; false when it is not listed there.
    bool unlistOneLocked(const found_t& found, std::string_view userId, ChatSession* session);
    void forgetListingsLocked(const room_key& key, Member& member);
    void clearRoomLocked(const room_ref& ref);
    ChatSession* findSessionLocked(const room_ref& ref, std::string_view userId, uint16_t osType);

    // Lock order: this lock, then a session's own lock (a push), then the
    // room registry's leaf lock. Not recursive: nothing run while it is held
    // may call back into a locking operation here.
    std::mutex m_lock;
    RoomMap m_roomSessionList;                                // guarded by m_lock
    std::multimap<const ChatSession*, listing_t> m_listings;  // where each session is listed; m_lock
};
