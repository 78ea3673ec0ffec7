#pragma once
// The bodies of every request a client sends, as plain records, and their
// encoders. Pure functions over values: no sockets, any thread. Lengths are
// written as given, so a test can build a field the daemon must refuse;
// encode() throws std::length_error only when the body would not fit a
// packet (65,535 bytes).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/Protocol.h"

namespace client {

struct invitee_t {
    std::string userId;
    std::string nameInfo;
};

// ROOM_CREATE. The invitation section is sent only when invitees is not
// empty (or withInvitationSection forces an empty one).
struct RoomInitRequest {
    uint32_t roomId = 0;
    std::string creatorId;
    std::string creatorName;
    uint16_t osType = OS_TYPE_PC;
    std::vector<invitee_t> invitees;
    bool withInvitationSection = false;
    std::optional<uint32_t> declaredCount;  // written instead of invitees.size()
};

// USER_ADD: the inviter is the session's own user.
struct InviteRequest {
    uint32_t roomId = 0;
    std::vector<invitee_t> invitees;
    std::optional<uint32_t> declaredCount;  // written instead of invitees.size()
};

// USER_JOIN and USER_REJOIN share this body.
struct JoinRequest {
    uint32_t roomId = 0;
    std::string userId;
    std::string nameInfo;
    uint16_t osType = OS_TYPE_PC;
};

// USER_LEAVE.
struct LeaveRequest {
    uint32_t roomId = 0;
    std::string userId;
    std::string nameInfo;
    uint16_t osType = OS_TYPE_PC;
};

// USER_FORCE_LEAVE: from removes to.
struct ForceLeaveRequest {
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = OS_TYPE_PC;
    std::string toId;
    std::string toName;
};

// MSG. msgNumFromClient is 0 for a new message, the earlier number for a resend.
struct MsgRequest {
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = OS_TYPE_PC;
    std::string msg;
    std::string font;
    uint32_t trid = 0;
    uint32_t msgNumFromClient = 0;
    uint8_t msgType = MSG_TALK;
};

// TYPING. The daemon reads only the room id and relays the body unchanged;
// this project's clients add the user id and the state.
struct TypingRequest {
    uint32_t roomId = 0;
    std::string userId;
    uint8_t state = 1;  // 1 typing, 0 stopped
};

// ATTACH: a file notice for the listed members.
struct AttachRequest {
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = OS_TYPE_PC;
    uint32_t trid = 0;
    uint32_t msgNumFromClient = 0;
    uint8_t msgType = MSG_ATTACH;
    std::vector<std::string> targets;
    std::optional<uint16_t> declaredTargetCount;  // written instead of targets.size()
    std::string fileName;
    uint32_t fileSize = 0;
    std::string url;
};

// MSG_RELAY_ACK and ATTACH_ALARM_RELAY_ACK share this body.
struct RelayAck {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;  // the message number of the relay
    std::string userId;   // the acknowledging member
    uint32_t trid = 0;
    uint16_t osType = OS_TYPE_PC;
};

// MSG_RESULT_ACK.
struct ResultAck {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;
    uint32_t trid = 0;
    uint16_t osType = OS_TYPE_PC;
    uint32_t resultSeq = 0;  // from the MSG_RESULT being acknowledged
};

// AUTH: a join token (see kMaxTokenLen).
struct AuthRequest {
    std::string token;
};

std::string encode(const AuthRequest& r);
std::string encode(const RoomInitRequest& r);
std::string encode(const InviteRequest& r);
std::string encode(const JoinRequest& r);
std::string encode(const LeaveRequest& r);
std::string encode(const ForceLeaveRequest& r);
std::string encode(const MsgRequest& r);
std::string encode(const TypingRequest& r);
std::string encode(const AttachRequest& r);
std::string encode(const RelayAck& r);
std::string encode(const ResultAck& r);

}  // namespace client
