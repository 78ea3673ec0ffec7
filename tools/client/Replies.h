#pragma once
// Every reply and notice the daemon sends, as plain records, and their
// decoders. A decoder returns nothing when the packet has another code, when
// the body ends before its last field, or when bytes are left over: the
// daemon's own packets are always complete, so any of these is a fault
// worth seeing. Pure functions over values: no sockets, any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/Packet.h"

namespace client {

struct RoomInitReply {  // 0x8C01
    uint32_t roomId = 0;
    uint16_t result = 0;
};

struct InviteReply {  // 0x8C04
    uint32_t roomId = 0;
    uint16_t result = 0;
    uint32_t memberCount = 0;     // after the additions
    uint32_t requestedCount = 0;  // users read from the request
    std::vector<std::string> failedIds;
};

struct member_t {
    std::string userId;
    std::string nameInfo;
    bool operator==(const member_t&) const = default;
};

struct JoinReply {  // 0x8C02 (join) and 0x8C24 (rejoin)
    uint32_t roomId = 0;
    uint16_t result = 0;
    // The rest comes only with results 0 and 120.
    bool hasMemberList = false;
    std::vector<member_t> members;  // every member who has not left, by user id
    uint16_t roomKind = 0;          // ROOM_KIND_COUPLE or ROOM_KIND_GROUP
    uint32_t joinSeq = 0;           // the requester's
    uint32_t currentMsgNum = 0;
};

struct UserJoinAlarm {  // 3075
    uint32_t roomId = 0;
    std::string userId;  // who joined or was added
    std::string nameInfo;
    uint16_t osType = 0;
    uint32_t msgNum = 0;
    uint32_t msgTime = 0;
    uint32_t memberCount = 0;
    uint16_t joinType = 0;  // JOIN_TYPE_DUMMY or JOIN_TYPE_REAL
};

struct UserLeaveAlarm {  // 3105
    uint32_t roomId = 0;
    std::string userId;  // who left or was removed
    std::string nameInfo;
    uint16_t osType = 0;
    uint32_t msgNum = 0;
    uint32_t msgTime = 0;
    uint32_t memberCount = 0;
    int32_t joinSeq = 0;  // LEAVE_ALL_HISTORY for "all history"
    uint16_t leaveType = 0;
};

// USER_FORCE_LEAVE_ALARM (3123) to the removed member, and the 0x8C32 reply
// to the remover: the same body.
struct ForceLeaveNotice {
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = 0;
    std::string toId;
    std::string toName;
};

struct SessionClose {  // 3124
    uint32_t roomId = 0;
    uint16_t reason = 0;
};

// MSG_ACK (35856) and ATTACH_ACK (35904): the same body.
struct MsgAck {
    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    std::string fromId;
    uint32_t trid = 0;  // the trid inside the request body
    uint32_t msgTime = 0;
};

struct MsgRelay {  // 3089
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = 0;
    uint32_t msgTime = 0;
    std::string msg;
    uint32_t msgNum = 0;
    std::string font;
    uint32_t trid = 0;
    uint8_t msgType = 0;
};

// TYPING_ALARM (3091): the sender's TYPING body, relayed unchanged. Only
// the room id is certain; the rest is there when the sender wrote it the
// way this project's clients do.
struct TypingAlarm {
    uint32_t roomId = 0;
    bool hasDetails = false;
    std::string userId;
    uint8_t state = 0;
};

struct AttachAlarmRelay {  // 3137
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    uint16_t fromOsType = 0;
    uint32_t msgTime = 0;
    uint32_t trid = 0;
    uint32_t msgNum = 0;
    uint8_t msgType = 0;
    std::string fileName;
    uint32_t fileSize = 0;
    std::string url;
};

struct result_entry_t {
    std::string userId;
    std::string nameInfo;
    uint16_t osType = 0;
    uint32_t code = 0;  // SEND_RESULT_*
};

struct MsgResult {  // 3121
    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    uint32_t trid = 0;
    uint32_t msgTime = 0;
    uint16_t fromOsType = 0;
    uint32_t resultSeq = 0;  // echo it in MSG_RESULT_ACK
    std::vector<result_entry_t> results;
};

// 0x8C90 without a body: the daemon is still loading rooms and closes.
struct NotReady {};

// A reply whose body is exactly the result 515: the command was refused and
// the connection is being closed.
struct InvalidCommand {
    uint16_t requestCode = 0;  // the reply code without kReplyBit
};

// AUTH's answer: one of the AUTH_RES_ codes.
struct AuthReply {
    uint16_t result = 0;
};

std::optional<AuthReply> decodeAuthReply(const Packet& p);
std::optional<RoomInitReply> decodeRoomInitReply(const Packet& p);
std::optional<InviteReply> decodeInviteReply(const Packet& p);
// Accepts 0x8C02 and 0x8C24.
std::optional<JoinReply> decodeJoinReply(const Packet& p);
std::optional<UserJoinAlarm> decodeUserJoinAlarm(const Packet& p);
std::optional<UserLeaveAlarm> decodeUserLeaveAlarm(const Packet& p);
// Accepts 3123 and 0x8C32.
std::optional<ForceLeaveNotice> decodeForceLeave(const Packet& p);
std::optional<SessionClose> decodeSessionClose(const Packet& p);
// Accepts MSG_ACK and ATTACH_ACK.
std::optional<MsgAck> decodeMsgAck(const Packet& p);
std::optional<MsgRelay> decodeMsgRelay(const Packet& p);
std::optional<TypingAlarm> decodeTypingAlarm(const Packet& p);
std::optional<AttachAlarmRelay> decodeAttachAlarmRelay(const Packet& p);
std::optional<MsgResult> decodeMsgResult(const Packet& p);
std::optional<NotReady> decodeNotReady(const Packet& p);
std::optional<InvalidCommand> decodeInvalidCommand(const Packet& p);

}  // namespace client
