#pragma once
// The chat protocol's code table and the named values every chat layer
// shares: command codes, device kinds, member and room states, message
// types, join and send results. Constants only; any thread.

#include <cstdint>

// Command and event codes (the header's code). A reply carries its
// request's code with kResponseBit added.
constexpr uint16_t kResponseBit = 0x8000;

constexpr uint16_t ROOM_CREATE = 0x0C01;             // 3073, client: open a room
constexpr uint16_t USER_JOIN = 0x0C02;               // 3074, client
constexpr uint16_t USER_JOIN_ALARM = 0x0C03;         // 3075, server notice
constexpr uint16_t USER_ADD = 0x0C04;                // 3076, client: invite
constexpr uint16_t MSG = 0x0C10;                     // 3088, client
constexpr uint16_t MSG_RELAY = 0x0C11;               // 3089, server
constexpr uint16_t TYPING = 0x0C12;                  // 3090, client
constexpr uint16_t TYPING_ALARM = 0x0C13;            // 3091, server
constexpr uint16_t USER_LEAVE = 0x0C20;              // 3104, client
constexpr uint16_t USER_LEAVE_ALARM = 0x0C21;        // 3105, server
constexpr uint16_t USER_REJOIN = 0x0C24;             // 3108, client
constexpr uint16_t MSG_RESULT = 0x0C31;              // 3121, server
constexpr uint16_t USER_FORCE_LEAVE = 0x0C32;        // 3122, client
constexpr uint16_t USER_FORCE_LEAVE_ALARM = 0x0C33;  // 3123, server
constexpr uint16_t SESSION_CLOSE = 0x0C34;           // 3124, server
constexpr uint16_t ATTACH = 0x0C40;                  // 3136, client
constexpr uint16_t ATTACH_ALARM_RELAY = 0x0C41;      // 3137, server
constexpr uint16_t AUTH = 0x0C50;                    // 3152, client: present a join token
constexpr uint16_t SERVER_NOT_READY = 0x0C90;        // 3216, sent as its reply 0x8C90
constexpr uint16_t WAS_JOB = 0x0C99;                 // 3225, internal: a WAS job's input
constexpr uint16_t INVITE_RETRY = 0x0409;            // 1033, internal: a retried invite
constexpr uint16_t MSG_ACK = 0x8C10;                 // 35856, server: reply to MSG
constexpr uint16_t MSG_RELAY_ACK = 0x8C11;           // 35857, client
constexpr uint16_t MSG_RESULT_ACK = 0x8C31;          // 35889, client
constexpr uint16_t ATTACH_ACK = 0x8C40;              // 35904, server: reply to ATTACH
constexpr uint16_t ATTACH_ALARM_RELAY_ACK = 0x8C41;  // 35905, client

// Longest texts a client or the WAS may give: user id, display name or
// tenant; message text, font data, attachment file name and URL. Every
// record, key and job input keeps them whole (arrays hold one byte more for
// a terminator): a member whose id is cut anywhere stops matching itself.
constexpr uint32_t MAX_ID_LEN = 256;
constexpr uint32_t MAX_MSG_LEN = 8192;
constexpr uint32_t MAX_FONT_LEN = 10000;
constexpr uint32_t MAX_FILE_NAME_LEN = 2048;
constexpr uint32_t MAX_URL_LEN = 4096;

// Reply result codes (u16 in reply bodies).
constexpr uint16_t RES_CODE_SUCCESS = 0;
constexpr uint16_t RES_CODE_INVALID_CMD = 515;  // 0x0203: the command is not valid here
// 0x0204: no token admits the request (none presented yet where auth_mode
// is required, or the token names another user, room or device kind).
constexpr uint16_t RES_CODE_NOT_AUTHORIZED = 516;

// Device kinds (osType). In session lookups 0 selects every device.
constexpr uint16_t OS_TYPE_NONE = 0;
constexpr uint16_t OS_TYPE_ALL = 0;
constexpr uint16_t OS_TYPE_PC = 1;
constexpr uint16_t OS_TYPE_MOBILE = 2;
constexpr uint16_t OS_TYPE_SUPPORT_NPUSH = 100;

// Member join states.
constexpr uint32_t JOIN_INVITED = 1;        // added or invited, not yet joined
constexpr uint32_t JOIN_JOIN = 2;           // joined
constexpr uint32_t JOIN_LEFT = 3;           // left the room
constexpr uint32_t JOIN_SESSION_CLOSE = 4;  // joined, but the connection closed

// Room types.
constexpr uint16_t ROOM_TYPE_NONE = 0;
constexpr uint16_t ROOM_TYPE_COUPLE = 1;  // one-to-one
constexpr uint16_t ROOM_TYPE_GROUP = 10;

// Join-sequence lookup results (RoomManager::getUserJoinSeq, Room::getUserJoinSeq).
constexpr int JOIN_SEQ_ERROR_NOT_EXIST_ROOM = -1;
constexpr int JOIN_SEQ_ERROR_NOT_EXIST_USER = -2;
constexpr int JOIN_SEQ_ERROR_LEFT = -3;

// Message types (msg_info::msgType).
constexpr uint8_t MSG_TALK = 1;          // conversation text, the default
constexpr uint8_t MSG_JOIN = 2;          // system notice of a join or an invitation
constexpr uint8_t MSG_LEAVE = 3;         // leave notice
constexpr uint8_t MSG_STICKER_CODE = 4;  // sticker
constexpr uint8_t MSG_ATTACH = 5;        // attachment

// Join and rejoin results (u16 in the join replies).
constexpr uint16_t ROOM_JOIN_RES_SUCCESS = 0;
constexpr uint16_t ROOM_JOIN_RES_NOT_EXIST_ROOM = 100;
constexpr uint16_t ROOM_JOIN_RES_NOT_INVITED_USER = 110;
constexpr uint16_t ROOM_JOIN_RES_ALREADY_INVITED_USER = 120;
constexpr uint16_t ROOM_JOIN_RES_NOT_SUPPORT_ROOMTYPE = 130;

// Reason of the SESSION_CLOSE notice sent to a session that a newer one of
// the same user, room and device kind replaces.
constexpr uint16_t SESSION_CLOSE_REASON_DUPLICATED_OLD_SESSION = 10;

// One recipient's delivery outcome (send_result::sendResultCode).
constexpr uint32_t SEND_RESULT_SUCCESS = 1;       // the relay was acknowledged
constexpr uint32_t SEND_RESULT_ACK_TIMEOUT = 10;  // no relay ACK in time
constexpr uint32_t SEND_RESULT_NO_SESSION = 11;   // no session took the relay
constexpr uint32_t SEND_RESULT_PUSH_FAIL = 20;    // the WAS reported the push failed
