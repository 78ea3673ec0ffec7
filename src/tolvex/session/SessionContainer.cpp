#include "tolvex/session/SessionContainer.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "cpputil/LoopThread.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/Metrics.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

namespace {

bool ofKind(const ChatSession* s, uint16_t osType) {
    return s && (osType == OS_TYPE_ALL || s->getOsType() == osType);
}

room_ref refOf(const room_key& key) {
    return {key.roomId, key.tenantId};
}

// The first of a room's members (sorted by id) whose id is not below userId.
template <typename Members>
auto lowerBoundOf(Members& members, std::string_view userId) {
    return std::lower_bound(members.begin(), members.end(), userId,
                            [](const auto& m, std::string_view id) { return m.id() < id; });
}

}  // namespace

SessionContainer& SessionContainer::getInstance() {
    static SessionContainer instance;
    return instance;
}

// ---- one user's entry -------------------------------------------------------

SessionContainer::Member::Member(std::string_view userId)
    : m_id(std::make_unique<char[]>(sizeof(uint32_t) + userId.size())) {
    const auto len = static_cast<uint32_t>(userId.size());
    std::memcpy(m_id.get(), &len, sizeof len);
    std::memcpy(m_id.get() + sizeof len, userId.data(), userId.size());
}

std::string_view SessionContainer::Member::id() const {
    uint32_t len = 0;
    std::memcpy(&len, m_id.get(), sizeof len);
    return {m_id.get() + sizeof len, len};
}

SessionContainer::sessionvec_t& SessionContainer::Member::sessions() {
    if (!m_sessions) m_sessions = std::make_unique<sessionvec_t>();
    return *m_sessions;
}

void SessionContainer::Member::compact() {
    if (m_sessions && m_sessions->empty()) m_sessions.reset();
}

// ---- bookkeeping (m_lock held) ---------------------------------------------

SessionContainer::found_t SessionContainer::findLocked(const room_ref& ref, std::string_view userId) {
    auto room = m_roomSessionList.find(ref);
    if (room == m_roomSessionList.end()) return {};
    Members& members = room->second;
    auto it = lowerBoundOf(members, userId);
    if (it == members.end() || it->id() != userId) return {&room->first, &members, nullptr};
    return {&room->first, &members, &*it};
}

void SessionContainer::listLocked(const room_key& key, std::string_view userId, sessionvec_t& list,
                                  ChatSession* s) {
    // The record first: should the list fail to grow, a record without its
    // entry is what unlistSession copes with, whereas an entry without its
    // record would outlive the session.
    m_listings.emplace(s, listing_t{key, std::string(userId), s->getOsType()});
    ++s->m_listedCount;
    list.push_back(s);
    Metrics& metrics = Metrics::getInst();
    const Metrics::device_t device = Metrics::device(s->getOsType());
    Metrics::add(metrics.sessionsOpened[device]);
    metrics.sessionsListed[device].fetch_add(1, std::memory_order_relaxed);
}

SessionContainer::sessionvec_t::iterator SessionContainer::unlistLocked(const room_key& key,
                                                                        std::string_view userId,
                                                                        sessionvec_t& list,
                                                                        sessionvec_t::iterator it) {
    ChatSession* s = *it;
    auto [from, to] = m_listings.equal_range(s);
    for (auto l = from; l != to; ++l) {
        if (l->second.key == key && l->second.userId == userId) {
            Metrics::getInst().sessionsListed[Metrics::device(l->second.osType)].fetch_sub(1, std::memory_order_relaxed);
            m_listings.erase(l);
            --s->m_listedCount;
            break;
        }
    }
    return list.erase(it);
}

bool SessionContainer::unlistOneLocked(const found_t& found, std::string_view userId, ChatSession* session) {
    sessionvec_t* list = found.member ? found.member->listed() : nullptr;
    if (!list) return false;
    auto it = std::find(list->begin(), list->end(), session);
    if (it == list->end()) return false;
    unlistLocked(*found.key, userId, *list, it);
    found.member->compact();
    return true;
}

void SessionContainer::forgetListingsLocked(const room_key& key, Member& member) {
    sessionvec_t* list = member.listed();
    if (!list) return;
    const std::string_view userId = member.id();
    for (auto it = list->begin(); it != list->end();) it = unlistLocked(key, userId, *list, it);
    member.compact();
}

ChatSession* SessionContainer::findSessionLocked(const room_ref& ref, std::string_view userId, uint16_t osType) {
    const found_t found = findLocked(ref, userId);
    const sessionvec_t* list = found.member ? found.member->listed() : nullptr;
    if (!list) return nullptr;
    for (ChatSession* s : *list)
        if (ofKind(s, osType)) return s;
    return nullptr;
}

// ---- registration -----------------------------------------------------------

void SessionContainer::addSession(uint32_t roomId, const std::string& userId, ChatSession* session) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        auto room = m_roomSessionList.find(ref);
        if (room == m_roomSessionList.end())
            room = m_roomSessionList.emplace(room_key{roomId, std::string(ref.tenantId)}, Members()).first;
        Members& members = room->second;
        auto it = lowerBoundOf(members, userId);
        if (it == members.end() || it->id() != userId) it = members.emplace(it, userId);
        if (!session) return;
        if (clearDuplicatedSession(room->first, roomId, userId, *it, session->getOsType(), session))
            listLocked(room->first, userId, it->sessions(), session);
    } catch (const std::exception&) {
        g_Logger.log("adSession Error. room_id=%u, user_id=%s", roomId, userId.c_str());
    }
}

void SessionContainer::addEmptySession(uint32_t roomId, const std::string& userId) {
    addSession(roomId, userId, nullptr);
}

bool SessionContainer::clearDuplicatedSession(const room_key& key, uint32_t roomId, const std::string& userId,
                                              Member& member, uint16_t osType, ChatSession* joinSession) {
    sessionvec_t* list = member.listed();
    if (!list) return true;
    if (std::find(list->begin(), list->end(), joinSession) != list->end()) return false;  // listed once only

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
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        const found_t found = findLocked(ref, userId);
        const sessionvec_t* list = found.member ? found.member->listed() : nullptr;
        if (!list || std::find(list->begin(), list->end(), session) == list->end()) return;
        g_Logger.log("remove session: room_id=%u, user_id=%s, os_type=%u", roomId, userId.c_str(),
                     session->getOsType());
        unlistOneLocked(found, userId, session);
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
        const found_t found = findLocked(refOf(where.key), where.userId);
        if (!unlistOneLocked(found, where.userId, session)) {
            // The record outlived its list entry; drop it so the loop ends.
            Metrics::getInst().sessionsListed[Metrics::device(where.osType)].fetch_sub(1, std::memory_order_relaxed);
            m_listings.erase(l);
            --session->m_listedCount;
        }
    }
}

void SessionContainer::forceLeaveOtherSession(uint32_t roomId, const std::string& userId,
                                              uint16_t excludeOsType) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    const found_t found = findLocked(ref, userId);
    sessionvec_t* list = found.member ? found.member->listed() : nullptr;
    if (!list) return;
    for (auto it = list->begin(); it != list->end();) {
        ChatSession* s = *it;
        if (!s || s->getOsType() == excludeOsType) {
            ++it;
            continue;
        }
        g_Logger.log("LEAVE:close other session:room_id=%u:user_id=%s:os_type=%u", roomId, userId.c_str(),
                     s->getOsType());
        it = unlistLocked(*found.key, userId, *list, it);
        s->closeSession();
    }
    found.member->compact();
}

void SessionContainer::clearUser(uint32_t roomId, const std::string& userId) {
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    const found_t found = findLocked(ref, userId);
    if (!found.member) return;
    forgetListingsLocked(*found.key, *found.member);
    found.members->erase(found.members->begin() + (found.member - found.members->data()));
}

void SessionContainer::clearRoom(uint32_t roomId, const std::string& userId) {
    clearRoom(ChatUtil::roomRefOf(roomId, userId));
}

void SessionContainer::clearRoom(const room_key& key) {
    clearRoom(refOf(key));
}

void SessionContainer::clearRoom(const room_ref& ref) {
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        clearRoomLocked(ref);
    } catch (const std::exception&) {
        g_Logger.log("clearRoom Exception. room_id=%u", ref.roomId);
    }
}

void SessionContainer::clearRoomLocked(const room_ref& ref) {
    auto room = m_roomSessionList.find(ref);
    if (room == m_roomSessionList.end()) return;
    const room_key& key = room->first;
    for (Member& member : room->second) {
        sessionvec_t* list = member.listed();
        if (!list) continue;
        const std::string userId(member.id());
        for (auto it = list->begin(); it != list->end();) {
            ChatSession* s = *it;
            it = unlistLocked(key, userId, *list, it);
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
    ASSERT_IN_LOOP_THREAD();
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    return findSessionLocked(ref, userId, osType);
}

SessionContainer::sessionlist_t SessionContainer::getSessionList(uint32_t roomId, const std::string& userId) {
    ASSERT_IN_LOOP_THREAD();
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    std::lock_guard<std::mutex> lock(m_lock);
    const found_t found = findLocked(ref, userId);
    const sessionvec_t* list = found.member ? found.member->listed() : nullptr;
    return list ? sessionlist_t(list->begin(), list->end()) : sessionlist_t();
}

SessionContainer::sessionmap_t SessionContainer::getSessionList(uint32_t roomId, const std::string& userId,
                                                                uint16_t osType) {
    ASSERT_IN_LOOP_THREAD();
    const room_ref ref = ChatUtil::roomRefOf(roomId, userId);
    sessionmap_t result;
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        auto room = m_roomSessionList.find(ref);
        if (room == m_roomSessionList.end()) return result;
        for (const Member& member : room->second) {
            // Members come in id order, so each goes in at the end.
            sessionlist_t& out = result.emplace_hint(result.end(), std::string(member.id()), sessionlist_t())->second;
            if (const sessionvec_t* list = member.listed())
                for (ChatSession* s : *list)
                    if (ofKind(s, osType)) out.push_back(s);
        }
    } catch (const std::exception&) {
        g_Logger.log("SessionContainer::getSessionList Error. room_id=%u, os_type=%u", roomId, osType);
    }
    return result;
}

int SessionContainer::getSessionCount(uint32_t roomId, const std::string& userId) {
    return getSessionCount(ChatUtil::roomRefOf(roomId, userId));
}

int SessionContainer::getSessionCount(const room_key& key) {
    return getSessionCount(refOf(key));
}

int SessionContainer::getSessionCount(const room_ref& ref) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto room = m_roomSessionList.find(ref);
    if (room == m_roomSessionList.end()) return 0;
    int count = 0;
    for (const Member& member : room->second)
        if (const sessionvec_t* list = member.listed()) count += static_cast<int>(list->size());
    return count;
}

int SessionContainer::push(uint32_t roomId, const std::string& userId, uint16_t osType, const P2PPacket* pk) {
    // Pushed after the lock is released: sessions end only on this thread,
    // in the poller's dispatch, so the pointer outlives the push, and an
    // error raised by the push may unlist the session without deadlock.
    if (ChatSession* s = getSession(roomId, userId, osType)) return s->chatPush(pk);
    g_Logger.log("try push: NOT FOUND SESSION. room_id=%u, %s, %u", roomId, userId.c_str(), osType);
    return -1;
}

bool SessionContainer::existPcSession(uint32_t roomId, const std::string& userId) {
    return getSession(roomId, userId, OS_TYPE_PC) != nullptr;
}
