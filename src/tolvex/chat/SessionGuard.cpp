#include "tolvex/chat/SessionGuard.h"

#include <arpa/inet.h>

#include "p2p/P2PPacket.h"
#include "p2p/Parser2.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/crypt/TokenVerifier.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/Metrics.h"

namespace {

const char* requestName(uint16_t code) {
    switch (code) {
        case ROOM_CREATE: return "ROOM_CREATE";
        case USER_JOIN: return "USER_JOIN";
        case USER_ADD: return "USER_ADD";
        case USER_REJOIN: return "USER_REJOIN";
        case USER_LEAVE: return "USER_LEAVE";
        case USER_FORCE_LEAVE: return "USER_FORCE_LEAVE";
        case MSG: return "MSG";
        case TYPING: return "TYPING";
        case ATTACH: return "ATTACH";
        case MSG_RELAY_ACK: return "MSG_RELAY_ACK";
        case ATTACH_ALARM_RELAY_ACK: return "ATTACH_ALARM_RELAY_ACK";
        case MSG_RESULT_ACK: return "MSG_RESULT_ACK";
        default: return "request";
    }
}

// The requests a client waits an answer for; the refusal answers them 515.
bool hasReply(uint16_t code) {
    switch (code) {
        case ROOM_CREATE:
        case USER_JOIN:
        case USER_ADD:
        case USER_REJOIN:
        case USER_FORCE_LEAVE:
        case MSG:
        case ATTACH:
            return true;
        default:
            return false;
    }
}

// Why named does not match binding, or null when it does. A device kind is
// compared only where the request names one; exactDevice compares it always.
const char* mismatch(const ChatSession::binding_t& bound, const SessionGuard::named_t& named, bool exactDevice) {
    if (named.roomId != bound.roomId) return "another room";
    if (named.userId && *named.userId != bound.userId) return "another user";
    if ((exactDevice || named.osType != OS_TYPE_NONE) && named.osType != bound.osType) return "another device";
    return nullptr;
}

// Why named is not what token admits, or null when it is.
const char* tokenMismatch(const ChatSession::token_t& token, const SessionGuard::named_t& named) {
    if (named.userId && *named.userId != token.userId) return "another user than the token's";
    if (token.roomId != 0 && named.roomId != token.roomId) return "another room than the token's";
    if (token.osType != OS_TYPE_NONE && named.osType != token.osType) return "another device than the token's";
    return nullptr;
}

void pushResult(const P2PPacket* pk, ChatSession* session, uint16_t result) {
    if (!hasReply(pk->m_h.code)) return;
    const unsigned char body[2] = {static_cast<unsigned char>(result & 0xFF), static_cast<unsigned char>(result >> 8)};
    session->chatPush(pk, body, sizeof body, 0);
}

}  // namespace

bool SessionGuard::admitsUnauthenticated(const P2PPacket* pk, ChatSession* session) {
    if (session->token() || pk->m_h.code == AUTH || !TokenVerifier::getInst().required()) return true;
    refuseByToken(pk, session, {}, "no token yet");
    return false;
}

bool SessionGuard::check(const P2PPacket* pk, ChatSession* session, const named_t& named, bool exactDevice) {
    const auto& bound = session->binding();
    const char* why = bound ? mismatch(*bound, named, exactDevice) : "not joined";
    if (!why) return true;
    refuse(pk, session, named, why);
    return false;
}

bool SessionGuard::admitsAction(const P2PPacket* pk, ChatSession* session, const named_t& named) {
    return check(pk, session, named, false);
}

bool SessionGuard::admitsJoin(const P2PPacket* pk, ChatSession* session, const named_t& named) {
    if (const auto& token = session->token()) {
        if (const char* why = tokenMismatch(*token, named)) {
            refuseByToken(pk, session, named, why);
            return false;
        }
    }
    // A join or room init is how a session gets its binding in the first place.
    if (!session->binding()) return true;
    return check(pk, session, named, true);
}

bool SessionGuard::admitsForceLeave(const P2PPacket* pk, ChatSession* session, const named_t& named) {
    if (!admitsAction(pk, session, named)) return false;
    if (RoomManager::getInst().isActiveMember(named.roomId, session->binding()->userId)) return true;
    refuse(pk, session, named, "not an active member");
    return false;
}

bool SessionGuard::typingUserId(const P2PPacket* pk, std::string* userId) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    uint32_t roomId = 0;
    uint16_t len = 0;
    if (!p.value(&roomId) || !p.value(&len) || !p.remain(len)) return false;
    std::string bytes(len, '\0');
    if (p.mem(bytes.data(), len) != 0) return false;
    *userId = std::move(bytes);
    return true;
}

void SessionGuard::refuse(const P2PPacket* pk, ChatSession* session, const named_t& named, const char* why) {
    const auto& bound = session->binding();
    g_Logger.log("SESSION_BIND: %s refused (%s): named room_id=%u, user_id=%s, os_type=%u; session bound to "
                 "room_id=%u, user_id=%s, os_type=%u; session closed",
                 requestName(pk->m_h.code), why, named.roomId, named.userId ? logText(*named.userId).c_str() : "-",
                 named.osType, bound ? bound->roomId : 0u, bound ? logText(bound->userId).c_str() : "-",
                 bound ? bound->osType : 0u);
    pushResult(pk, session, RES_CODE_INVALID_CMD);
    session->closeRefused();
}

void SessionGuard::refuseByToken(const P2PPacket* pk, ChatSession* session, const named_t& named, const char* why) {
    if (const auto& token = session->token()) {
        g_Logger.log("AUTH: %s refused (%s): named room_id=%u, user_id=%s, os_type=%u; token for room_id=%u, "
                     "user_id=%s, os_type=%u; session closed",
                     requestName(pk->m_h.code), why, named.roomId,
                     named.userId ? logText(*named.userId).c_str() : "-", named.osType, token->roomId,
                     logText(token->userId).c_str(), token->osType);
    } else {
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &session->peerAddr().sin_addr, ip, sizeof ip);
        g_Logger.log("AUTH: %s refused (%s): code=%u, peer=%s; session closed", requestName(pk->m_h.code), why,
                     pk->m_h.code, ip);
    }
    Metrics::add(Metrics::getInst().sessionsClosed[Metrics::CLOSE_AUTH]);
    pushResult(pk, session, RES_CODE_NOT_AUTHORIZED);
    session->closeRefused();
}
