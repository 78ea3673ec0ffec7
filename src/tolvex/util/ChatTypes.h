#pragma once
// Plain records shared by the chat layers: the message record, the room and
// message keys, one recipient's delivery outcome and an attachment notice.
// Values: copied freely, owned by whoever holds them; any thread.

#include <compare>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "tolvex/util/ChatCodes.h"

// Identity of a room: the same room id under two tenants is two rooms.
// Ordered by room id, then tenant.
struct room_key {
    uint32_t roomId = 0;
    std::string tenantId;

    friend auto operator<=>(const room_key&, const room_key&) = default;
};

// A room named without owning its tenant: lookups by a user id need no copy.
struct room_ref {
    uint32_t roomId = 0;
    std::string_view tenantId;
};

// Orders room_key and room_ref alike, so maps keyed by room_key can be
// searched with a room_ref.
struct room_order {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        if (a.roomId != b.roomId) return a.roomId < b.roomId;
        return std::string_view(a.tenantId) < std::string_view(b.tenantId);
    }
};

// Identity of one message of a room. Ordered by room id, message number,
// then tenant.
struct msg_key {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;
    std::string tenantId;

    friend auto operator<=>(const msg_key&, const msg_key&) = default;
};

// The message record passed between the room, message, broadcast, ACK and
// WAS parts. Text fields are length-counted and zero-terminated by whoever
// fills them; a new record is zero but for msgType and selfTimestamp.
struct msg_info {
    uint32_t roomId = 0;
    uint16_t fromIdLen = 0;
    char fromId[MAX_ID_LEN + 1] = {};
    uint16_t fromIdTalkNameLen = 0;
    char fromIdTalkName[MAX_ID_LEN + 1] = {};
    uint16_t fromOsType = 0;
    uint16_t msgLen = 0;
    char msg[MAX_MSG_LEN + 1] = {};
    uint32_t fontLength = 0;
    char font[MAX_FONT_LEN + 1] = {};
    uint32_t trid = 0;
    uint32_t msgTime = 0;
    uint32_t msgNum = 0;
    uint32_t msgNumFromClient = 0;  // non-zero for a message the client sends again
    uint8_t msgType = MSG_TALK;
    uint32_t memberCount = 0;
    char msgDesc[2048] = {};
    uint32_t selfTimestamp = static_cast<uint32_t>(std::time(nullptr));
};

// What a result notice needs of its message, kept while results come in.
struct kept_msg_t {
    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    uint32_t trid = 0;  // the body trid of the sender's message
    uint32_t msgTime = 0;
    uint16_t fromOsType = 0;
    std::string fromId;
    uint32_t selfTimestamp = 0;  // UTC second of the copy or of its latest result
};

// One recipient's delivery outcome (sendResultCode: SEND_RESULT_*).
struct send_result {
    char userId[MAX_ID_LEN + 1] = {};
    uint16_t userIdLen = 0;
    char userNameInfo[MAX_ID_LEN + 1] = {};
    uint16_t userNameInfoLen = 0;
    uint16_t osType = 0;
    uint32_t sendResultCode = 0;
    uint32_t joinSeq = 0;
    uint32_t sendToTimeFromClient = 0;
};

// File name, size and URL of an attachment notice.
struct attachFileInfo {
    uint16_t fileNameLen = 0;
    char fileName[MAX_FILE_NAME_LEN + 1] = {};
    uint32_t fileSize = 0;
    uint16_t urlLen = 0;
    char url[MAX_URL_LEN + 1] = {};
};
