#include "tolvex/session/SessionContainer.h"

#include <exception>

#include "tolvex/Globals.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

SessionContainer& SessionContainer::getInstance() {
    static SessionContainer instance;
    return instance;
}

// ---- bookkeeping (m_lock held) ---------------------------------------------

void SessionContainer::listLocked(const room_key& key, const std::string& userId, sessionlist_t& list,
                                  ChatSession* s) {
    list.push_back(s);
    m_listings.emplace(s, listing_t{key, userId});
    ++s->m_listedCount;
}

SessionContainer::sessionlist_t::iterator SessionContainer::unlistLocked(const room_key& key,
                                                                         const std::string& userId,
                                                                         sessionlist_t& list,
                                                                         sessionlist_t::iterator it) {
    ChatSession* s = *it;
    auto [from, to] = m_listings.equal_range(s);
    for (auto l = from; l != to; ++l) {
        if (l->second.key == key && l->second.userId == userId) {
            m_listings.erase(l);
            --s->m_listedCount;
            break;
        }
    }
    return list.erase(it);
}

void SessionContainer::forgetListLocked(const room_key& key, const std::string& userId,
                                        const sessionlist_t& list) {
    sessionlist_t copy = list;
    for (auto it = copy.begin(); it != copy.end();) it = unlistLocked(key, userId, copy, it);
}

SessionContainer::sessionlist_t* SessionContainer::findListLocked(const room_key& key,
                                                                  const std::string& userId) {
    auto room = m_roomSessionList.find(key);
    if (room == m_roomSessionList.end()) return nullptr;
    auto user = room->second.find(userId);
    return user == room->second.end() ? nullptr : &user->second;
}

ChatSession* SessionContainer::findSessionLocked(const room_key& key, const std::string& userId,
                                                 uint16_t osType) {
    sessionlist_t* list = findListLocked(key, userId);
    if (!list) return nullptr;
    for (ChatSession* s : *list)
        if (s && (osType == OS_TYPE_ALL || s->getOsType() == osType)) return s;
    return nullptr;
}

// ---- registration -----------------------------------------------------------

void SessionContainer::addSession(uint32_t roomId, const std::string& userId, ChatSession* session) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        sessionlist_t& list = m_roomSessionList[key][userId];
        if (!session) return;
        if (clearDuplicatedSession(key, roomId, userId, session->getOsType(), session))
            listLocked(key, userId, list, session);
    } catch (const std::exception&) {
        g_Logger.log("adSession Error. room_id=%u, user_id=%s", roomId, userId.c_str());
    }
}

void SessionContainer::addEmptySession(uint32_t roomId, const std::string& userId) {
    addSession(roomId, userId, nullptr);
}

bool SessionContainer::clearDuplicatedSession(const room_key& key, uint32_t roomId, const std::string& userId,
                                              uint16_t osType, ChatSession* joinSession) {
    sessionlist_t* list = findListLocked(key, userId);
    if (!list) return true;
    for (ChatSession* s : *list)
        if (s == joinSession) return false;  // listed once only

    for (auto it = list->begin(); it != list->end();) {
        ChatSession* old = *it;
        if (!old || old->getOsType() != osType) {
            ++it;
            continue;
        }
        int result = -1;
        if (!old->isDeadAlive()) {
            // Marked first: an error raised by this push must not run the
            // disconnect clean-up for a member who is still connected.
            old->setIsDeadAlive(true);
            const P2PPacket notice =
                CommonHandler::makeSessionClosePacket(roomId, SESSION_CLOSE_REASON_DUPLICATED_OLD_SESSION);
            result = old->chatPush(&notice);
        }
        ChatUtil::sendLogging(roomId, -1, "SESSION_CLOSE", userId, osType, result,
                              std::to_string(SESSION_CLOSE_REASON_DUPLICATED_OLD_SESSION) + "(dup)");
        it = unlistLocked(key, userId, *list, it);
        old->closeSession();
    }
    return true;
}

void SessionContainer::removeSession(uint32_t roomId, const std::string& userId, ChatSession* session) {
    if (!session) return;
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        sessionlist_t* list = findListLocked(key, userId);
        if (!list) return;
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (*it != session) continue;
            g_Logger.log("remove session: room_id=%u, user_id=%s, os_type=%u", roomId, userId.c_str(),
                         session->getOsType());
            unlistLocked(key, userId, *list, it);
            return;
        }
    } catch (const std::exception&) {
        g_Logger.log("removeSession Error. room_id=%u, user_id=%s", roomId, userId.c_str());
    }
}

void SessionContainer::unlistSession(ChatSession* session) {
    std::lock_guard<std::mutex> lock(m_lock);
    while (true) {
        auto l = m_listings.find(session);
        if (l == m_listings.end()) return;
        const listing_t where = l->second;
        sessionlist_t* list = findListLocked(where.key, where.userId);
        bool unlisted = false;
        if (list) {
            for (auto it = list->begin(); it != list->end(); ++it) {
                if (*it != session) continue;
                unlistLocked(where.key, where.userId, *list, it);
                unlisted = true;
                break;
            }
        }
        if (!unlisted) {
            // The record outlived its list entry; drop it so the loop ends.
            m_listings.erase(l);
            --session->m_listedCount;
        }
    }
}

void SessionContainer::forceLeaveOtherSession(uint32_t roomId, const std::string& userId,
                                              uint16_t excludeOsType) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    sessionlist_t* list = findListLocked(key, userId);
    if (!list) return;
    for (auto it = list->begin(); it != list->end();) {
        ChatSession* s = *it;
        if (!s || s->getOsType() == excludeOsType) {
            ++it;
            continue;
        }
        g_Logger.log("LEAVE:close other session:room_id=%u:user_id=%s:os_type=%u", roomId, userId.c_str(),
                     s->getOsType());
        it = unlistLocked(key, userId, *list, it);
        s->closeSession();
    }
}

void SessionContainer::clearUser(uint32_t roomId, const std::string& userId) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    auto room = m_roomSessionList.find(key);
    if (room == m_roomSessionList.end()) return;
    auto user = room->second.find(userId);
    if (user == room->second.end()) return;
    forgetListLocked(key, userId, user->second);
    room->second.erase(user);
}

void SessionContainer::clearRoom(uint32_t roomId, const std::string& userId) {
    clearRoom(ChatUtil::makeRoomKey(roomId, userId));
}

void SessionContainer::clearRoom(const room_key& key) {
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        clearRoomLocked(key);
    } catch (const std::exception&) {
        g_Logger.log("clearRoom Exception. room_id=%u", key.roomId);
    }
}

void SessionContainer::clearRoomLocked(const room_key& key) {
    auto room = m_roomSessionList.find(key);
    if (room == m_roomSessionList.end()) return;
    for (auto& [userId, list] : room->second) {
        for (auto it = list.begin(); it != list.end();) {
            ChatSession* s = *it;
            it = unlistLocked(key, userId, list, it);
            if (!s) continue;
            g_Logger.log("CLEAR_ROOM. Existing not closed ChatSession !!! %u:%s:%u", key.roomId, userId.c_str(),
                         s->getOsType());
            s->closeSession();
        }
    }
    m_roomSessionList.erase(room);
}

// ---- lookups ----------------------------------------------------------------

ChatSession* SessionContainer::getSession(uint32_t roomId, const std::string& userId, uint16_t osType) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    return findSessionLocked(key, userId, osType);
}

SessionContainer::sessionlist_t SessionContainer::getSessionList(uint32_t roomId, const std::string& userId) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    sessionlist_t* list = findListLocked(key, userId);
    return list ? *list : sessionlist_t();
}

SessionContainer::sessionmap_t SessionContainer::getSessionList(uint32_t roomId, const std::string& userId,
                                                                uint16_t osType) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    sessionmap_t result;
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        auto room = m_roomSessionList.find(key);
        if (room == m_roomSessionList.end()) return result;
        for (const auto& [id, list] : room->second) {
            sessionlist_t& out = result[id];
            for (ChatSession* s : list)
                if (s && (osType == OS_TYPE_ALL || s->getOsType() == osType)) out.push_back(s);
        }
    } catch (const std::exception&) {
        g_Logger.log("SessionContainer::getSessionList Error. room_id=%u, os_type=%u", roomId, osType);
    }
    return result;
}

int SessionContainer::getSessionCount(uint32_t roomId, const std::string& userId) {
    return getSessionCount(ChatUtil::makeRoomKey(roomId, userId));
}

int SessionContainer::getSessionCount(const room_key& key) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto room = m_roomSessionList.find(key);
    if (room == m_roomSessionList.end()) return 0;
    int count = 0;
    for (const auto& [id, list] : room->second) count += static_cast<int>(list.size());
    return count;
}

int SessionContainer::push(uint32_t roomId, const std::string& userId, uint16_t osType, const P2PPacket* pk) {
    const room_key key = ChatUtil::makeRoomKey(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    // Pushed under the lock, so no other thread can see the session go.
    if (ChatSession* s = findSessionLocked(key, userId, osType)) return s->chatPush(pk);
    g_Logger.log("try push: NOT FOUND SESSION. room_id=%u, %s, %u", roomId, userId.c_str(), osType);
    return -1;
}

bool SessionContainer::existPcSession(uint32_t roomId, const std::string& userId) {
    return getSession(roomId, userId, OS_TYPE_PC) != nullptr;
}
