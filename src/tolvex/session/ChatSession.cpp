#include "tolvex/session/ChatSession.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <unordered_map>

#include "cpputil/Trace.h"
#include "poller/Poller.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/AckEventHandler.h"
#include "tolvex/chat/AuthEventHandler.h"
#include "tolvex/chat/MsgEventHandler.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/RoomEventHandler.h"
#include "tolvex/chat/SessionGuard.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatEventHandler.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/Metrics.h"

namespace {

// Body encryption kinds a client may ask for: clear and the one cipher.
bool knownEtype(uint8_t etype) {
    return etype == 0 || etype == 1;
}

// What ended the session, for its log line: the error when there is one.
const char* endText(Session::errortype_t type, int err) {
    if (err != 0) return std::strerror(err);
    switch (type) {
        case Session::SESSION_ECLOSE: return "closed by the peer";
        case Session::SESSION_EDELETE: return "released";
        default: return "no system error";
    }
}

std::string peerText(const sockaddr_in& sa) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
    return ip;
}

// The time of the events being dispatched: the loop reads the clock once a
// pass, and a request check should not read it again per packet.
TokenBucket::Clock::time_point passTime() {
    if (g_pPoller && g_pPoller->lastWaitEnd() != TokenBucket::Clock::time_point{}) return g_pPoller->lastWaitEnd();
    return TokenBucket::Clock::now();
}

}  // namespace

std::atomic<int> ChatSession::s_requestRate{0};
std::atomic<int> ChatSession::s_requestBurst{1};

namespace {

// Sessions by serial. Dummy sessions may be made off the loop, hence the lock.
struct LiveSessions {
    std::mutex mutex;
    uint64_t last = 0;
    std::unordered_map<uint64_t, ChatSession*> bySerial;
};

LiveSessions& liveSessions() {
    static LiveSessions* const live = new LiveSessions;  // outlives every session
    return *live;
}

uint64_t enlist(ChatSession* session) {
    LiveSessions& live = liveSessions();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.bySerial[++live.last] = session;
    return live.last;
}

}  // namespace

ChatSession::ChatSession() : m_serial(enlist(this)) {}

ChatSession::~ChatSession() {
    {
        LiveSessions& live = liveSessions();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.bySerial.erase(m_serial);
    }
    // Whatever closed it, no registry may keep pointing at a deleted session.
    if (m_listedCount.load() > 0) SessionContainer::getInstance().unlistSession(this);
}

ChatSession* ChatSession::findLive(uint64_t serial) {
    LiveSessions& live = liveSessions();
    std::lock_guard<std::mutex> lock(live.mutex);
    auto it = live.bySerial.find(serial);
    return it == live.bySerial.end() ? nullptr : it->second;
}

void ChatSession::destroy() {
    try {
        P2PSession::destroy();  // deletes this
    } catch (...) {
        const int err = errno;
        g_Logger.log("ChatSession destroy Exception occurred ERROR:%d(%s) !!!", err, std::strerror(err));
        errno = 0;
    }
}

void ChatSession::reportOverflow(int64_t queued) {
    // The relays dropped with the queue are reported by their relay-ACK
    // timeouts, as for any member who does not answer.
    Metrics::add(Metrics::getInst().sessionsClosed[Metrics::CLOSE_OVERFLOW]);
    g_Logger.log("send_buffer_max reached: userid=%s, room_id=%u, osType=%u, %lld bytes queued; session closed",
                 logText(m_userId).c_str(), m_roomId, m_osType, static_cast<long long>(queued));
}

void ChatSession::errorEvent(errortype_t type, int err) {
    g_Logger.log("ChatSession Event. userid=%s, room_id=%u, osType=%u, type=%d, err=%d, strerror=%s",
                 logText(m_userId).c_str(), m_roomId, m_osType, static_cast<int>(type), err, endText(type, err));
    if (!m_isDeadAlive && !m_closed) {
        // The framing refuses a packet with a logic error (and nothing else
        // raises one on a client connection).
        if (type == SESSION_ELOGIC) Metrics::add(Metrics::getInst().sessionsClosed[Metrics::CLOSE_BAD_PACKET]);
        m_closed = true;
        m_isDeadAlive = true;
        setUserState();
        resetPushAlarmCount();
        removeSession();
        setExpired();
    }
    P2PSession::errorEvent(type, err);
}

std::unique_ptr<ChatEventHandler> ChatSession::makeHandler(uint16_t code) {
    switch (code) {
        case ROOM_CREATE:
        case USER_JOIN:
        case USER_ADD:
        case USER_REJOIN:
        case USER_LEAVE:
        case USER_FORCE_LEAVE:
            return std::make_unique<RoomEventHandler>();
        case MSG:
        case TYPING:
        case ATTACH:
            return std::make_unique<MsgEventHandler>();
        case MSG_RELAY_ACK:
        case ATTACH_ALARM_RELAY_ACK:
        case MSG_RESULT_ACK:
            return std::make_unique<AckEventHandler>();
        case AUTH:
            return std::make_unique<AuthEventHandler>();
        default:
            return nullptr;
    }
}

void ChatSession::recvPacketEvent(const P2PPacket* pk) {
    if (!pk) return;
    if (!checkReadyServer()) return;
    // A reply under an encryption we cannot produce would go out undefined
    // or not at all; refuse the request in clear instead.
    if (!knownEtype(pk->m_h.etype)) {
        g_Logger.log("unknown etype %u: room_id=%u, user_id=%s, code=%u", pk->m_h.etype, m_roomId,
                     m_userId.c_str(), pk->m_h.code);
        rejectCommand(pk, true);
        return;
    }
    if (!SessionGuard::admitsUnauthenticated(pk, this)) return;
    if (!withinRequestLimit(pk->m_h.code)) {
        closeFlooding(pk->m_h.code);
        return;
    }
    dispatch(pk);
}

void ChatSession::setRequestLimit(int rate, int burst) {
    s_requestRate = rate;
    s_requestBurst = burst;
}

bool ChatSession::countsAgainstRequestLimit(uint16_t code) {
    return code != MSG_RELAY_ACK && code != ATTACH_ALARM_RELAY_ACK && code != MSG_RESULT_ACK;
}

bool ChatSession::withinRequestLimit(uint16_t code) {
    if (!countsAgainstRequestLimit(code)) return true;
    const auto now = passTime();
    if (!m_requestsArmed) {
        m_requests = TokenBucket(s_requestRate.load(), s_requestBurst.load(), now);
        m_requestsArmed = true;
    }
    return m_requests.take(now);
}

void ChatSession::closeFlooding(uint16_t code) {
    Metrics::add(Metrics::getInst().sessionsClosed[Metrics::CLOSE_FLOOD]);
    // The framing stops reading a closing session, so this line comes once
    // per session, however much it had sent.
    g_Logger.log("session_msg_rate exceeded: userid=%s, room_id=%u, osType=%u, peer=%s, code=%u: more than %d "
                 "requests a second (burst %d); session closed",
                 logText(m_userId).c_str(), m_roomId, m_osType, peerText(peerAddr()).c_str(), code,
                 s_requestRate.load(), s_requestBurst.load());
    // As if the connection had ended: the member shows as disconnected and
    // its messages go to push, as for any client that goes away.
    m_closed = true;
    m_isDeadAlive = true;
    setUserState();
    resetPushAlarmCount();
    removeSession();
    setExpired();
}

void ChatSession::dispatch(const P2PPacket* pk) {
    std::unique_ptr<ChatEventHandler> handler = makeHandler(pk->m_h.code);
    if (!handler) {
        TRACE(TRACE_ERROR, "NOT VALID CMD CMD:%d", pk->m_h.code);
        rejectCommand(pk, false);
        return;
    }
    try {
        handler->eventHandle(pk, this);
    } catch (const std::exception& e) {
        g_Logger.log("recvPacketEvent Exception code=%u: %s", pk->m_h.code, e.what());
    } catch (...) {
        g_Logger.log("recvPacketEvent Exception code=%u", pk->m_h.code);
    }
}

void ChatSession::rejectCommand(const P2PPacket* req, bool clear) {
    Metrics::add(Metrics::getInst().sessionsClosed[Metrics::CLOSE_INVALID_COMMAND]);
    // RES_CODE_INVALID_CMD as a little-endian u16.
    static constexpr unsigned char kBody[2] = {RES_CODE_INVALID_CMD & 0xFF, RES_CODE_INVALID_CMD >> 8};
    if (clear) {
        p2p_header_t h = req->m_h;
        h.etype = 0;
        chatPush(&h, kBody, sizeof kBody, 0);
    } else {
        chatPush(req, kBody, sizeof kBody, 0);
    }
    closeSession();
    TRACE(TRACE_INFO, "Leave recvPacketEvent");
    g_Logger.log("Leave recvPacketEvent");
}

bool ChatSession::checkReadyServer() {
    if (RoomManager::getInst().isRoomInitComplete()) return true;
    P2PPacket notice;
    notice.m_h.make2(SERVER_NOT_READY, "", 0, "", 0, 0, 0, 0);
    g_Logger.log("tolvex server is not ready yet");
    static constexpr char kEmpty[1] = {0};
    chatPush(&notice, kEmpty, 0, 0);
    setExpired();
    return false;
}

void ChatSession::closeSession() {
    g_Logger.log("CloseSession: room_id:%u, user_id:%s, os_type:%u", m_roomId, m_userId.c_str(), m_osType);
    m_isDeadAlive = true;
    m_closed = true;
    setExpired();
}

void ChatSession::removeSession() {
    SessionContainer::getInstance().removeSession(m_roomId, m_userId, this);
}

void ChatSession::dropSession() {
    removeSession();
    closeSession();
}

void ChatSession::closeRefused() {
    // The room clean-up a disconnect runs, for a session that is a member's;
    // a session never joined has no member to mark.
    if (m_binding && !m_isDeadAlive && !m_closed) {
        setUserState();
        resetPushAlarmCount();
    }
    dropSession();
}

void ChatSession::setUserState() {
    RoomManager::getInst().setSessionClosed(m_roomId, m_userId);
}

void ChatSession::resetPushAlarmCount() {
    if (m_osType == OS_TYPE_MOBILE) RoomManager::getInst().resetPushAlarmCount(m_roomId, m_userId);
}

int ChatSession::chatPush(const P2PPacket* pk) {
    try {
        return push(pk);
    } catch (...) {
        g_Logger.log("====== ChatSession Push Error (push) ===== room_id=%u, user_id=%s", m_roomId,
                     m_userId.c_str());
        return -1;
    }
}

int ChatSession::chatPush(const P2PPacket* req, const void* body, uint16_t blen, uint16_t sessionid) {
    return req ? chatPush(&req->m_h, body, blen, sessionid) : -1;
}

int ChatSession::chatPush(const p2p_header_t* req, const void* body, uint16_t blen, uint16_t sessionid) {
    if (!req) return -1;
    try {
        return sendres2(req, body, blen, sessionid);
    } catch (...) {
        g_Logger.log("====== ChatSession Push Error (sendres2) ===== room_id=%u, user_id=%s", m_roomId,
                     m_userId.c_str());
        return -1;
    }
}

void ChatSession::setProfile(const std::string& userId, const std::string& nameInfo, uint32_t roomId,
                             uint16_t osType) {
    m_userId = userId;
    m_nameInfo = nameInfo;
    m_roomId = roomId;
    m_osType = osType;
}

bool ChatSession::isMySelf(const ChatSession* other) const {
    return other && m_userId == other->m_userId && m_osType == other->m_osType;
}

bool ChatSession::isMySession(const ChatSession* other) const {
    return other && m_userId == other->m_userId;
}
