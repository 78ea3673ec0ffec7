#include "tolvex/util/ChatUtil.h"

#include <charconv>
#include <climits>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ChatUtil {

namespace {

// Decimal value of a piece; non-numbers count as 0, like atoi.
long long pieceValue(std::string_view piece) {
    size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t')) ++i;
    long long value = 0;
    std::from_chars(piece.data() + i, piece.data() + piece.size(), value);
    return value;
}

std::string formatStatLine(const char* direction, uint32_t roomId, int msgNum, std::string_view eventName,
                           std::string_view userId, uint16_t osType, const char* result,
                           std::string_view opt) {
    std::string line = "S:";
    line += direction;
    line += ':';
    line += std::to_string(static_cast<int>(roomId));
    line += ':';
    line += std::to_string(msgNum == 0 ? -1 : msgNum);
    for (std::string_view field : {eventName, userId, std::string_view(getOsTypeDesc(osType)),
                                   std::string_view(result), opt}) {
        line += ':';
        line += field;
    }
    return line;
}

}  // namespace

std::string getEventName(uint16_t code) {
    switch (code) {
        case MSG: return "MSG";
        case MSG_ACK: return "MSG_ACK";
        case MSG_RELAY: return "MSG_RELAY";
        case MSG_RELAY_ACK: return "MSG_RELAY_ACK";
        case USER_JOIN_ALARM: return "USER_JOIN_ALARM";
        case TYPING_ALARM: return "TYPING_ALARM";
        case USER_FORCE_LEAVE_ALARM: return "USER_FORCE_LEAVE_ALARM";
        case USER_LEAVE_ALARM: return "USER_LEAVE_ALARM";
        case ATTACH: return "ATTACH";
        case ATTACH_ACK: return "ATTACH_ACK";
        case ATTACH_ALARM_RELAY: return "ATTACH_ALARM_RELAY";
        case ATTACH_ALARM_RELAY_ACK: return "ATTACH_ALARM_RELAY_ACK";
        default: return std::to_string(code);
    }
}

const char* getOsTypeDesc(uint16_t osType) {
    switch (osType) {
        case OS_TYPE_PC: return OS_TEXT_PC;
        case OS_TYPE_MOBILE: return OS_TEXT_MOBILE;
        case OS_TYPE_SUPPORT_NPUSH: return OS_TEXT_SUPPORT_NPUSH;
        default: return OS_TEXT_NONE;
    }
}

const char* getSendResultDesc(int resultCode) {
    return resultCode == 0 ? SEND_SUCC : SEND_FAIL;
}

std::string formatReceiveLine(uint32_t roomId, int msgNum, std::string_view eventName,
                              std::string_view userId, uint16_t osType, std::string_view opt) {
    return formatStatLine(">>", roomId, msgNum, eventName, userId, osType, SEND_SUCC, opt);
}

std::string formatSendLine(uint32_t roomId, int msgNum, std::string_view eventName,
                           std::string_view userId, uint16_t osType, int sendResultCode,
                           std::string_view opt) {
    return formatStatLine("<<", roomId, msgNum, eventName, userId, osType,
                          getSendResultDesc(sendResultCode), opt);
}

std::string formatRoomEndLine(uint32_t roomId, std::string_view reason) {
    // The message number of a room event is always -1, and it names nobody.
    return formatStatLine("<>", roomId, -1, "ROOM_END", "", OS_TYPE_NONE, SEND_SUCC, reason);
}

std::string_view tenantOf(std::string_view userId) {
    const size_t at = userId.find('@');
    if (at == std::string_view::npos) return userId;
    const size_t dot = userId.find('.', at + 1);
    if (dot == std::string_view::npos) return userId;
    return userId.substr(dot + 1);
}

std::string getTenantId(std::string_view userId) {
    return std::string(tenantOf(userId));
}

room_ref roomRefOf(uint32_t roomId, std::string_view userId) {
    // Cut as a client's longest legal id would be, so that ids differing
    // only beyond that name the same room.
    return {roomId, tenantOf(userId).substr(0, MAX_ID_LEN)};
}

room_key makeRoomKey(uint32_t roomId, std::string_view userId) {
    const room_ref ref = roomRefOf(roomId, userId);
    return {ref.roomId, std::string(ref.tenantId)};
}

msg_key makeMsgKey(uint32_t roomId, uint32_t msgSeq, std::string_view userId) {
    return {roomId, msgSeq, std::string(roomRefOf(roomId, userId).tenantId)};
}

uint32_t getUTCTimeSecond() {
    return static_cast<uint32_t>(std::time(nullptr));
}

bool isTypeOfConversation(uint8_t msgType) {
    return msgType == MSG_TALK || msgType == MSG_STICKER_CODE || msgType == MSG_ATTACH;
}

std::string itoa(int i) {
    return std::to_string(i);
}

char* itoa(char* buffer, std::size_t size, int i) {
    if (size == 0) return buffer;
    std::snprintf(buffer, size, "%d", i);
    return buffer;
}

int convertToMinute(std::string_view text) {
    std::vector<std::string_view> pieces;
    size_t from = 0;
    for (;;) {
        size_t colon = text.find(':', from);
        pieces.push_back(text.substr(from, colon == std::string_view::npos ? colon : colon - from));
        if (colon == std::string_view::npos) break;
        from = colon + 1;
    }
    if (pieces.size() != 3) return kDefaultTimeoutMinutes;
    long long minutes = pieceValue(pieces[0]) * 1440 + pieceValue(pieces[1]) * 60 + pieceValue(pieces[2]);
    // Absurd settings saturate instead of wrapping into a negative time-out.
    if (minutes > INT_MAX) return INT_MAX;
    if (minutes < INT_MIN) return INT_MIN;
    return static_cast<int>(minutes);
}

}  // namespace ChatUtil
