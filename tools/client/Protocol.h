#pragma once
// The chat protocol as a client sees it: command codes, result codes, device
// kinds and the field limits the daemon enforces. Constants only; any thread.
// The client keeps its own table so it builds without the daemon's sources;
// docs/protocol.md is the shared reference for both.

#include <cstddef>
#include <cstdint>

namespace client {

// A reply carries its request's code with this bit added.
inline constexpr uint16_t kReplyBit = 0x8000;
constexpr uint16_t replyCode(uint16_t request) {
    return static_cast<uint16_t>(request | kReplyBit);
}

// Requests a client sends.
inline constexpr uint16_t ROOM_CREATE = 0x0C01;             // 3073
inline constexpr uint16_t USER_JOIN = 0x0C02;               // 3074
inline constexpr uint16_t USER_ADD = 0x0C04;                // 3076
inline constexpr uint16_t MSG = 0x0C10;                     // 3088
inline constexpr uint16_t TYPING = 0x0C12;                  // 3090
inline constexpr uint16_t USER_LEAVE = 0x0C20;              // 3104
inline constexpr uint16_t USER_REJOIN = 0x0C24;             // 3108
inline constexpr uint16_t USER_FORCE_LEAVE = 0x0C32;        // 3122
inline constexpr uint16_t ATTACH = 0x0C40;                  // 3136
inline constexpr uint16_t AUTH = 0x0C50;                    // 3152
inline constexpr uint16_t MSG_RELAY_ACK = 0x8C11;           // 35857
inline constexpr uint16_t MSG_RESULT_ACK = 0x8C31;          // 35889
inline constexpr uint16_t ATTACH_ALARM_RELAY_ACK = 0x8C41;  // 35905

// Notices the daemon sends on its own.
inline constexpr uint16_t USER_JOIN_ALARM = 0x0C03;         // 3075
inline constexpr uint16_t MSG_RELAY = 0x0C11;               // 3089
inline constexpr uint16_t TYPING_ALARM = 0x0C13;            // 3091
inline constexpr uint16_t USER_LEAVE_ALARM = 0x0C21;        // 3105
inline constexpr uint16_t MSG_RESULT = 0x0C31;              // 3121
inline constexpr uint16_t USER_FORCE_LEAVE_ALARM = 0x0C33;  // 3123
inline constexpr uint16_t SESSION_CLOSE = 0x0C34;           // 3124
inline constexpr uint16_t ATTACH_ALARM_RELAY = 0x0C41;      // 3137
inline constexpr uint16_t SERVER_NOT_READY = 0x0C90;        // 3216, arrives as 0x8C90

// Replies (request code plus kReplyBit).
inline constexpr uint16_t ROOM_CREATE_REPLY = replyCode(ROOM_CREATE);            // 0x8C01
inline constexpr uint16_t USER_JOIN_REPLY = replyCode(USER_JOIN);                // 0x8C02
inline constexpr uint16_t USER_ADD_REPLY = replyCode(USER_ADD);                  // 0x8C04
inline constexpr uint16_t USER_REJOIN_REPLY = replyCode(USER_REJOIN);            // 0x8C24
inline constexpr uint16_t USER_FORCE_LEAVE_REPLY = replyCode(USER_FORCE_LEAVE);  // 0x8C32
inline constexpr uint16_t MSG_ACK = 0x8C10;                                      // 35856
inline constexpr uint16_t ATTACH_ACK = 0x8C40;                                   // 35904
inline constexpr uint16_t SERVER_NOT_READY_REPLY = replyCode(SERVER_NOT_READY);  // 0x8C90
inline constexpr uint16_t AUTH_REPLY = replyCode(AUTH);                          // 0x8C50

// Results in reply bodies.
inline constexpr uint16_t RES_SUCCESS = 0;
inline constexpr uint16_t RES_INVALID_CMD = 515;  // 0x0203, followed by a close
inline constexpr uint16_t RES_NOT_AUTHORIZED = 516;  // 0x0204: no token admits it; followed by a close

// AUTH results.
inline constexpr uint16_t AUTH_RES_ACCEPTED = 0;
inline constexpr uint16_t AUTH_RES_MALFORMED = 1;
inline constexpr uint16_t AUTH_RES_BAD_SIGNATURE = 2;
inline constexpr uint16_t AUTH_RES_EXPIRED = 3;  // or not yet valid
inline constexpr uint16_t AUTH_RES_UNKNOWN_DEVICE = 4;
inline constexpr uint16_t AUTH_RES_NO_KEYS = 5;
inline constexpr uint16_t AUTH_RES_ALREADY_AUTHENTICATED = 6;
inline constexpr size_t kMaxTokenLen = 4096;
inline constexpr uint16_t JOIN_RES_NOT_EXIST_ROOM = 100;
inline constexpr uint16_t JOIN_RES_NOT_INVITED_USER = 110;
inline constexpr uint16_t JOIN_RES_ALREADY_INVITED_USER = 120;
inline constexpr uint16_t JOIN_RES_NOT_SUPPORT_ROOMTYPE = 130;

// Delivery outcomes in MSG_RESULT.
inline constexpr uint32_t SEND_RESULT_SUCCESS = 1;
inline constexpr uint32_t SEND_RESULT_ACK_TIMEOUT = 10;
inline constexpr uint32_t SEND_RESULT_NO_SESSION = 11;
inline constexpr uint32_t SEND_RESULT_PUSH_FAIL = 20;

// Device kinds.
inline constexpr uint16_t OS_TYPE_PC = 1;
inline constexpr uint16_t OS_TYPE_MOBILE = 2;

// USER_JOIN_ALARM join types.
inline constexpr uint16_t JOIN_TYPE_DUMMY = 1;  // added, not connected
inline constexpr uint16_t JOIN_TYPE_REAL = 2;   // connected

// Room kinds in the join reply.
inline constexpr uint16_t ROOM_KIND_COUPLE = 1;
inline constexpr uint16_t ROOM_KIND_GROUP = 10;

// Message types.
inline constexpr uint8_t MSG_TALK = 1;
inline constexpr uint8_t MSG_JOIN = 2;
inline constexpr uint8_t MSG_LEAVE = 3;
inline constexpr uint8_t MSG_STICKER_CODE = 4;
inline constexpr uint8_t MSG_ATTACH = 5;

inline constexpr uint16_t SESSION_CLOSE_REASON_DUPLICATED = 10;
inline constexpr int32_t LEAVE_ALL_HISTORY = -100;

// Encryption types a request may ask for in its header.
inline constexpr uint8_t ETYPE_CLEAR = 0;
inline constexpr uint8_t ETYPE_AES = 1;

// Keep-alive bytes sent between packets.
inline constexpr unsigned char kPing = 0x81;
inline constexpr unsigned char kPong = 0x82;

// Field limits: a longer field makes the daemon close the connection
// without an answer.
inline constexpr uint32_t kMaxIdLen = 256;
inline constexpr uint32_t kMaxNameLen = 256;
inline constexpr uint32_t kMaxMsgLen = 8192;
inline constexpr uint32_t kMaxFontLen = 10000;
inline constexpr uint32_t kMaxInvitees = 50;

}  // namespace client
