#include "tolvex/chat/AuthEventHandler.h"

#include <ctime>
#include <string>

#include "p2p/P2PPacket.h"
#include "p2p/Parser2.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/crypt/TokenVerifier.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/Metrics.h"

namespace {

// The body: u16 length, then that many token bytes, and nothing after.
bool readToken(const P2PPacket* pk, std::string* token) {
    const int blen = pk->m_body ? pk->m_h.blen : 0;
    Parser2 p(pk->m_body, blen);
    uint16_t len = 0;
    if (!p.value(&len) || len > TokenVerifier::kMaxTokenLen || !p.remain(len)) return false;
    token->assign(len, '\0');
    return p.mem(token->data(), len) == 0 && p.pos() == blen;
}

void reply(const P2PPacket* pk, ChatSession* session, uint16_t result) {
    const unsigned char body[2] = {static_cast<unsigned char>(result & 0xFF), static_cast<unsigned char>(result >> 8)};
    session->chatPush(pk, body, sizeof body, 0);
}

}  // namespace

void AuthEventHandler::eventHandle(const P2PPacket* pk, ChatSession* session) {
    TokenVerifier& verifier = TokenVerifier::getInst();
    std::string token;
    token_claims_t claims;
    std::string why;
    TokenVerifier::result_t result;
    if (session->token() || session->binding()) {
        result = TokenVerifier::ALREADY_AUTHENTICATED;
        why = session->token() ? "a second AUTH" : "AUTH after a join";
    } else if (!readToken(pk, &token)) {
        result = TokenVerifier::MALFORMED;
        why = "body is not a u16 length and at most " + std::to_string(TokenVerifier::kMaxTokenLen) + " token bytes";
    } else {
        result = verifier.verify(token, static_cast<int64_t>(std::time(nullptr)), &claims, &why);
    }

    if (result == TokenVerifier::ACCEPTED) {
        g_Logger.log("AUTH: accepted: user_id=%s, room_id=%u, os_type=%u, kid=%s", logText(claims.sub).c_str(),
                     claims.room, claims.dev, logText(claims.kid).c_str());
        session->admitToken({claims.sub, claims.room, claims.dev});
        reply(pk, session, result);
        return;
    }
    // With tokens optional and nothing to check them with, the client
    // learns so and goes on as any client that sent no AUTH.
    if (result == TokenVerifier::NO_KEYS && !verifier.required()) {
        g_Logger.log("AUTH: not checked (no key configured, auth_mode off)");
        reply(pk, session, result);
        return;
    }
    g_Logger.log("AUTH: AUTH refused (%s: %s): session room_id=%u, user_id=%s; session closed",
                 TokenVerifier::resultName(result), logText(why).c_str(), session->getRoomId(),
                 logText(session->getUserId()).c_str());
    Metrics::add(Metrics::getInst().sessionsClosed[Metrics::CLOSE_AUTH]);
    reply(pk, session, result);
    session->closeRefused();
}
