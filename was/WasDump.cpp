#include "was/WasDump.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "was/SqliteDb.h"
#include "was/WasText.h"

namespace {

// Bytes between quotes: UTF-8 text stays readable, anything else is escaped.
std::string quoted(std::string_view bytes) {
    std::string out = "\"";
    char hex[8];
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t n = c >= 0x80 ? utf8SequenceLength(bytes, i) : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (n > 1) {
            out.append(bytes, i, n);
            i += n;
            continue;
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
        ++i;
    }
    return out + "\"";
}

std::string hexBytes(std::string_view bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        snprintf(hex, sizeof hex, "%02X", c);
        out += hex;
    }
    return out;
}

// A time as people read it; "?" where none was recorded.
std::string timeText(const std::optional<int64_t>& seconds) {
    return seconds ? readableTime(*seconds) : std::string("?");
}

std::optional<int64_t> optionalInt(SqliteDb::Query& q, int column) {
    if (q->columnIsNull(column)) return std::nullopt;
    return q->columnInt(column);
}

void dumpRecipients(SqliteDb& db, DumpText& text, int64_t roomId, const std::string& tenant,
                    int64_t msgSeq) {
    auto q = db.query(
        "SELECT user_id, join_seq, read_yn, delivered FROM recipients "
        "WHERE room_id = ?1 AND tenant_id = ?2 AND msg_seq = ?3 ORDER BY user_id");
    q->bind(1, roomId).bindText(2, tenant).bind(3, msgSeq);
    while (q->step()) {
        dump_recipient_t row;
        row.userId = q->columnBytes(0);
        row.joinSeq = optionalInt(q, 1);
        if (!q->columnIsNull(2)) row.readYn = q->columnBytes(2);
        row.delivered = q->columnInt(3) != 0;
        text.recipient(row);
    }
}

void dumpMessages(SqliteDb& db, DumpText& text, int64_t roomId, const std::string& tenant) {
    auto q = db.query(
        "SELECT msg_seq, msg_type, msg_time, sender_id, sender_name, sender_os_type, trid, body, "
        "file_name, file_size, file_url FROM messages WHERE room_id = ?1 AND tenant_id = ?2 "
        "ORDER BY msg_seq");
    q->bind(1, roomId).bindText(2, tenant);
    while (q->step()) {
        dump_message_t row;
        row.msgSeq = q->columnInt(0);
        row.msgType = q->columnInt(1);
        row.msgTime = optionalInt(q, 2);
        row.senderId = q->columnBytes(3);
        row.senderName = q->columnBytes(4);
        row.osType = q->columnInt(5);
        row.trid = q->columnInt(6);
        row.body = q->columnBytes(7);
        row.fileName = q->columnBytes(8);
        row.fileSize = q->columnInt(9);
        row.fileUrl = q->columnBytes(10);
        text.message(row);
        dumpRecipients(db, text, roomId, tenant, row.msgSeq);
    }
}

void dumpMembers(SqliteDb& db, DumpText& text, int64_t roomId, const std::string& tenant) {
    auto q = db.query(
        "SELECT user_id, name, join_seq, has_left, left_at, left_all_history FROM members "
        "WHERE room_id = ?1 AND tenant_id = ?2 ORDER BY user_id");
    q->bind(1, roomId).bindText(2, tenant);
    while (q->step()) {
        dump_member_t row;
        row.userId = q->columnBytes(0);
        row.name = q->columnBytes(1);
        row.joinSeq = q->columnInt(2);
        row.left = q->columnInt(3) != 0;
        row.leftAt = optionalInt(q, 4);
        row.leftAllHistory = q->columnInt(5) != 0;
        text.member(row);
    }
}

void dumpRooms(SqliteDb& db, DumpText& text) {
    auto q = db.query(
        "SELECT room_id, tenant_id, room_type, max_msg_seq, last_activity, ended, ended_at "
        "FROM rooms ORDER BY room_id, tenant_id");
    while (q->step()) {
        dump_room_t row;
        row.roomId = q->columnInt(0);
        row.tenantId = q->columnBytes(1);
        row.roomType = q->columnInt(2);
        row.maxMsgSeq = q->columnInt(3);
        row.lastActivity = optionalInt(q, 4);
        row.ended = q->columnInt(5) != 0;
        row.endedAt = optionalInt(q, 6);
        text.room(row);
        dumpMembers(db, text, row.roomId, row.tenantId);
        dumpMessages(db, text, row.roomId, row.tenantId);
    }
}

void dumpOutboxes(SqliteDb& db, DumpText& text) {
    {
        auto q = db.query(
            "SELECT id, room_id, msg_seq, recipient, sender_id, preview, conn, recorded_at "
            "FROM push_outbox ORDER BY id");
        while (q->step())
            text.push({q->columnInt(0), q->columnInt(1), q->columnInt(2), q->columnBytes(3),
                       q->columnBytes(4), q->columnBytes(5), q->columnBytes(6),
                       optionalInt(q, 7)});
    }
    {
        auto q = db.query(
            "SELECT id, from_id, to_id, target_ids, contents, recorded_at FROM invite_outbox "
            "ORDER BY id");
        while (q->step())
            text.invite({q->columnInt(0), q->columnBytes(1), q->columnBytes(2),
                         q->columnBytes(3), q->columnBytes(4), optionalInt(q, 5)});
    }
    auto q = db.query("SELECT user_id FROM no_device ORDER BY user_id");
    while (q->step()) text.noDevice(q->columnView(0));
}

}  // namespace

void DumpText::room(const dump_room_t& room) {
    m_out << "room " << room.roomId << " tenant " << quoted(room.tenantId) << " type "
          << room.roomType << " max_msg_seq " << room.maxMsgSeq << " last_activity "
          << timeText(room.lastActivity);
    if (room.ended) m_out << " ended at " << timeText(room.endedAt);
    else m_out << " open";
    m_out << "\n";
}

void DumpText::member(const dump_member_t& member) {
    m_out << "  member " << quoted(member.userId) << " name " << quoted(member.name)
          << " join_seq " << member.joinSeq;
    if (member.left)
        m_out << " left at " << timeText(member.leftAt)
              << (member.leftAllHistory ? " (whole history)" : "");
    else
        m_out << " member";
    m_out << "\n";
}

void DumpText::message(const dump_message_t& message) {
    m_out << "  message " << message.msgSeq << " type " << message.msgType << " time "
          << timeText(message.msgTime) << " from " << quoted(message.senderId) << " name "
          << quoted(message.senderName) << " os " << message.osType << " trid " << message.trid
          << " text " << quoted(message.body) << "\n";
    if (!message.fileName.empty())
        m_out << "    file " << quoted(message.fileName) << " size " << message.fileSize
              << " url " << quoted(message.fileUrl) << "\n";
}

void DumpText::recipient(const dump_recipient_t& recipient) {
    m_out << "    to " << quoted(recipient.userId) << " join_seq "
          << (recipient.joinSeq ? std::to_string(*recipient.joinSeq) : std::string("?"))
          << " read " << recipient.readYn.value_or("?")
          << (recipient.delivered ? " delivered" : " not-delivered") << "\n";
}

void DumpText::push(const dump_push_t& push) {
    m_out << "push " << push.id << " room " << push.roomId << " msg " << push.msgSeq << " to "
          << quoted(push.recipient) << " from " << quoted(push.senderId) << " preview "
          << hexBytes(push.preview) << " conn " << quoted(push.conn) << " at "
          << timeText(push.recordedAt) << "\n";
}

void DumpText::invite(const dump_invite_t& invite) {
    m_out << "invite " << invite.id << " from " << quoted(invite.fromId) << " to "
          << quoted(invite.toId) << " targets " << quoted(invite.targetIds) << " contents "
          << quoted(invite.contents) << " at " << timeText(invite.recordedAt) << "\n";
}

void DumpText::noDevice(std::string_view userId) {
    m_out << "no-device " << quoted(userId) << "\n";
}

void dumpDatabase(SqliteDb& db, std::ostream& out) {
    DumpText text(out);
    // One read transaction: the dump is a consistent snapshot even while a
    // running WAS keeps writing to the same file.
    db.exec("BEGIN");
    try {
        dumpRooms(db, text);
        dumpOutboxes(db, text);
    } catch (...) {
        db.exec("ROLLBACK");
        throw;
    }
    db.exec("COMMIT");
}
