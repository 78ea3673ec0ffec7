#pragma once
// The length-counted text fields of the shared records (msg_info,
// send_result): read by their length; each array holds its longest legal
// text and a terminator, so a longer text is cut to N - 1. Any thread.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tolvex/chat/BodyWriter.h"
#include "tolvex/util/ChatTypes.h"

template <size_t N, typename Len>
std::string_view msgText(const char (&field)[N], Len len) {
    return std::string_view(field, std::min<size_t>(static_cast<size_t>(len), N - 1));
}

template <size_t N, typename Len>
void setMsgText(char (&field)[N], Len& len, std::string_view text) {
    const size_t n = std::min(text.size(), N - 1);
    if (n > 0) std::memcpy(field, text.data(), n);
    field[n] = '\0';
    len = static_cast<Len>(n);
}

// A zero-terminated text field without a length (msgDesc): cut to N - 1.
template <size_t N>
void setCText(char (&field)[N], std::string_view text) {
    const size_t n = std::min(text.size(), N - 1);
    if (n > 0) std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

template <size_t N>
std::string_view cText(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

// A client-supplied text as the logs show it: printable ASCII as is,
// anything else (tabs, newlines, UTF-8, backslash) as \xNN, so one event
// stays one line.
inline std::string logText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// The sender's id of a message record.
inline std::string fromIdOf(const msg_info& msg) {
    return std::string(msgText(msg.fromId, msg.fromIdLen));
}

// The fields a result notice needs, taken from a whole message record.
// Room, sender id and sender name: the head of every body that relays,
// pushes or saves a member's message or room event.
inline BodyWriter& writeSenderHead(BodyWriter& w, const msg_info& msg) {
    return w.u32(msg.roomId)
        .str16(msgText(msg.fromId, msg.fromIdLen))
        .str16(msgText(msg.fromIdTalkName, msg.fromIdTalkNameLen));
}

inline kept_msg_t keptMsgOf(const msg_info& msg) {
    kept_msg_t kept;
    kept.roomId = msg.roomId;
    kept.msgNum = msg.msgNum;
    kept.trid = msg.trid;
    kept.msgTime = msg.msgTime;
    kept.fromOsType = msg.fromOsType;
    kept.fromId = std::string(msgText(msg.fromId, msg.fromIdLen));
    return kept;
}
