#pragma once
// Holds each request to the room, user and device kind its session was
// admitted with (ChatSession::binding), so one connection cannot post, leave,
// remove or acknowledge under another member's name or in another room; and
// each connection to its join token (ChatSession::token), where one is
// required or was presented. Stateless; every operation is static. Event-loop thread only.

#include <cstdint>
#include <string>

class ChatSession;
class P2PPacket;

class SessionGuard {
public:
    // What a request names as its room, acting user and device kind.
    struct named_t {
        uint32_t roomId = 0;
        const std::string* userId = nullptr;  // null: the request names no user
        uint16_t osType = 0;                  // 0 names no device kind
    };

    // A request that acts in the session's room (message, attachment,
    // typing, ACKs, invite, leave, force leave): served only on a joined
    // session whose binding it matches. Otherwise refused (see refuse) and
    // false.
    static bool admitsAction(const P2PPacket* pk, ChatSession* session, const named_t& named);
    // A room init, join or rejoin: any identity on a session not yet
    // joined; on a joined one only its own room, user and device kind. On
    // a session with a token, only the token's user, and its room and
    // device kind where it names them.
    static bool admitsJoin(const P2PPacket* pk, ChatSession* session, const named_t& named);
    // A force leave: as admitsAction, and the remover must still be an
    // active member of the room.
    static bool admitsForceLeave(const P2PPacket* pk, ChatSession* session, const named_t& named);

    // Any request on a session without a token: served unless tokens are
    // required and it is no AUTH. Otherwise refused (see refuseByToken) and
    // false. The ping never gets here: the framing answers it.
    static bool admitsUnauthenticated(const P2PPacket* pk, ChatSession* session);

    // The user id at the head of a typing body after its room id, when the
    // body holds it completely; clients write it there, and it is relayed
    // as it is.
    static bool typingUserId(const P2PPacket* pk, std::string* userId);

private:
    // True when session is joined and named matches its binding; refuses otherwise.
    static bool check(const P2PPacket* pk, ChatSession* session, const named_t& named, bool exactDevice);
    // One command-log line naming why, the 515 reply to a request that has
    // a reply, and the session's end, as a disconnect; nothing else happens.
    static void refuse(const P2PPacket* pk, ChatSession* session, const named_t& named, const char* why);
    // The same for a request no token admits: an "AUTH:" command-log line
    // and the 516 reply.
    static void refuseByToken(const P2PPacket* pk, ChatSession* session, const named_t& named, const char* why);
};
