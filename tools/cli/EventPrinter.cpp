#include "cli/EventPrinter.h"

#include <cstdio>

#include "client/Protocol.h"

namespace cli {

namespace {

std::string hexEscape(unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    return buf;
}

std::string stamp(time_t t) {
    return "[" + clockText(t) + "] ";
}

std::string countText(size_t n) {
    return std::to_string(n) + (n == 1 ? " member" : " members");
}

}  // namespace

std::string clockText(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

std::string displayText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            out += hexEscape(c);
        } else if (c == 0xC2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(bytes[i + 1]) <= 0x9F) {
            // U+0080..U+009F: the C1 controls (CSI among them), in UTF-8.
            out += hexEscape(c) + hexEscape(static_cast<unsigned char>(bytes[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string who(const std::string& userId, const std::string& name) {
    if (name.empty() || name == userId) return displayText(userId);
    return displayText(name) + " (" + displayText(userId) + ")";
}

std::string joinResultText(uint16_t result) {
    switch (result) {
        case client::JOIN_RES_NOT_EXIST_ROOM:
            return "room not found";
        case client::JOIN_RES_NOT_INVITED_USER:
            return "not invited: you left this room, a member must invite you again";
        case client::JOIN_RES_ALREADY_INVITED_USER:
            return "not a member of this room: a member must invite you first";
        case client::JOIN_RES_NOT_SUPPORT_ROOMTYPE:
            return "room type not supported";
        case client::RES_INVALID_CMD:
            return "request refused by the server";
        case client::RES_NOT_AUTHORIZED:
            return "no join token admits it (give --token, or one for this user, room and device)";
        default:
            return "refused";
    }
}

std::string outcomeText(uint32_t code, uint16_t osType) {
    switch (code) {
        case client::SEND_RESULT_SUCCESS:
            // A push comes back as the mobile's acknowledgement, so a
            // delivery on the mobile side is either of the two.
            return osType == client::OS_TYPE_MOBILE ? "delivered by push or to the mobile" : "delivered";
        case client::SEND_RESULT_ACK_TIMEOUT:
            return "timed out (no acknowledgement)";
        case client::SEND_RESULT_NO_SESSION:
            return "not connected";
        case client::SEND_RESULT_PUSH_FAIL:
            return "push failed";
        default:
            return "unknown outcome " + std::to_string(code);
    }
}

std::string EventPrinter::member(const std::string& userId, const std::string& name) const {
    if (!m_roster.selfId().empty() && userId == m_roster.selfId()) return "you";
    return who(userId, name.empty() ? m_roster.nameOf(userId) : name);
}

std::string EventPrinter::message(const client::MsgRelay& m) const {
    std::string kind;
    if (m.msgType == client::MSG_STICKER_CODE) kind = "[sticker] ";
    else if (m.msgType == client::MSG_ATTACH) kind = "[file] ";
    std::string from = member(m.fromId, m.fromName);
    if (from == "you") from = "you (other device)";
    return stamp(m.msgTime) + from + ": " + kind + displayText(m.msg);
}

std::string EventPrinter::attachment(const client::AttachAlarmRelay& a) const {
    return stamp(a.msgTime) + member(a.fromId, a.fromName) + " sent a file: " + displayText(a.fileName) + " (" +
           std::to_string(a.fileSize) + " bytes) " + displayText(a.url);
}

std::string EventPrinter::joined(const client::UserJoinAlarm& j) const {
    const char* what = j.joinType == client::JOIN_TYPE_REAL ? " joined (" : " was invited (";
    return stamp(j.msgTime) + "* " + member(j.userId, j.nameInfo) + what + countText(m_roster.size()) + ")";
}

std::string EventPrinter::left(const client::UserLeaveAlarm& l) const {
    return stamp(l.msgTime) + "* " + member(l.userId, l.nameInfo) + " left (" + countText(m_roster.size()) + ")";
}

std::string EventPrinter::invitationDone(time_t now) const {
    return stamp(now) + "* invitation done: " + countText(m_roster.size());
}

std::string EventPrinter::removedBy(const client::ForceLeaveNotice& f, time_t now) const {
    return stamp(now) + "* you were removed from room " + std::to_string(f.roomId) + " by " +
           member(f.fromId, f.fromName);
}

std::string EventPrinter::removed(const client::ForceLeaveNotice& f, time_t now) const {
    return stamp(now) + "* you removed " + member(f.toId, f.toName) + " from the room";
}

std::string EventPrinter::sessionClosed(const client::SessionClose& s, time_t now) const {
    if (s.reason == client::SESSION_CLOSE_REASON_DUPLICATED)
        return stamp(now) + "* this connection was replaced by a newer one of yours on the same device kind";
    return stamp(now) + "* the server is closing this connection (reason " + std::to_string(s.reason) + ")";
}

std::string EventPrinter::typing(const client::TypingAlarm& t, time_t now) const {
    if (!t.hasDetails) return stamp(now) + "* someone is typing…";
    return stamp(now) + "* " + member(t.userId, "") + (t.state ? " is typing…" : " stopped typing");
}

std::string EventPrinter::accepted(const outgoing_t& item) const {
    const std::string number = " (#" + std::to_string(item.msgNum) + ")";
    if (item.file) return stamp(item.acceptedAt) + "you sent a file: " + displayText(item.what) + number;
    return stamp(item.acceptedAt) + "you: " + displayText(item.what) + number;
}

std::string EventPrinter::outcome(const outgoing_t& item, const client::result_entry_t& r, time_t now) const {
    return stamp(now) + "  #" + std::to_string(item.msgNum) + " to " + member(r.userId, r.nameInfo) + ": " +
           outcomeText(r.code, r.osType);
}

std::string EventPrinter::earlierOutcome(uint32_t msgNum, const client::result_entry_t& r, time_t now) const {
    return stamp(now) + "  #" + std::to_string(msgNum) + " (sent over an earlier connection) to " +
           member(r.userId, r.nameInfo) + ": " + outcomeText(r.code, r.osType);
}

std::string EventPrinter::members(uint32_t roomId, uint16_t roomKind, time_t now) const {
    std::string kind;
    if (roomKind == client::ROOM_KIND_COUPLE) kind = ", one-to-one";
    else if (roomKind == client::ROOM_KIND_GROUP) kind = ", group";
    std::string text = stamp(now) + "room " + std::to_string(roomId) + ": " +
                       countText(m_roster.size()) + kind;
    for (const auto& [id, name] : m_roster.members()) {
        text += "\n  " + who(id, name);
        if (id == m_roster.selfId()) text += " - you";
    }
    return text;
}

std::string EventPrinter::reportSummary(const outgoing_t& item, const DeliveryTracker& tracker,
                                        double timeoutSec) const {
    const std::string head = "delivery report for #" + std::to_string(item.msgNum) + ": ";
    if (item.recipients.empty()) return head + "no other members";
    const std::vector<std::string> missing = tracker.missing(item.trid);
    const size_t done = item.recipients.size() - missing.size();
    std::string text = head + std::to_string(done) + " of " + std::to_string(item.recipients.size()) +
                       (item.recipients.size() == 1 ? " recipient" : " recipients") + " reported";
    if (missing.empty()) return text;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", timeoutSec);
    text += std::string("; no outcome within ") + seconds + " s for";
    for (size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : " ") + member(missing[i], "");
    return text;
}

}  // namespace cli
