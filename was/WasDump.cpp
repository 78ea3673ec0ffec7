#include "was/WasDump.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "was/SqliteDb.h"
#include "was/WasText.h"

namespace {

// Bytes between quotes: UTF-8 text stays readable, anything else is escaped.
std::string quoted(const std::string& bytes) {
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

std::string hexBytes(const std::string& bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        snprintf(hex, sizeof hex, "%02X", c);
        out += hex;
    }
    return out;
}

// A time column as people read it; "?" where none was recorded.
std::string timeColumn(SqliteDb::Query& q, int column) {
    return q->columnIsNull(column) ? std::string("?") : readableTime(q->columnInt(column));
}

void dumpRecipients(SqliteDb& db, std::ostream& out, int64_t roomId, const std::string& tenant,
                    int64_t msgSeq) {
    auto q = db.query(
        "SELECT user_id, join_seq, read_yn, delivered FROM recipients "
        "WHERE room_id = ?1 AND tenant_id = ?2 AND msg_seq = ?3 ORDER BY user_id");
    q->bind(1, roomId).bindText(2, tenant).bind(3, msgSeq);
    while (q->step()) {
        out << "    to " << quoted(q->columnBytes(0)) << " join_seq "
            << (q->columnIsNull(1) ? std::string("?") : std::to_string(q->columnInt(1)))
            << " read " << (q->columnIsNull(2) ? std::string("?") : q->columnBytes(2))
            << (q->columnInt(3) ? " delivered" : " not-delivered") << "\n";
    }
}

void dumpMessages(SqliteDb& db, std::ostream& out, int64_t roomId, const std::string& tenant) {
    auto q = db.query(
        "SELECT msg_seq, msg_type, msg_time, sender_id, sender_name, sender_os_type, trid, body, "
        "file_name, file_size, file_url FROM messages WHERE room_id = ?1 AND tenant_id = ?2 "
        "ORDER BY msg_seq");
    q->bind(1, roomId).bindText(2, tenant);
    while (q->step()) {
        out << "  message " << q->columnInt(0) << " type " << q->columnInt(1) << " time "
            << timeColumn(q, 2) << " from " << quoted(q->columnBytes(3)) << " name "
            << quoted(q->columnBytes(4)) << " os " << q->columnInt(5) << " trid "
            << q->columnInt(6) << " text " << quoted(q->columnBytes(7)) << "\n";
        std::string fileName = q->columnBytes(8);
        if (!fileName.empty())
            out << "    file " << quoted(fileName) << " size " << q->columnInt(9) << " url "
                << quoted(q->columnBytes(10)) << "\n";
        dumpRecipients(db, out, roomId, tenant, q->columnInt(0));
    }
}

void dumpMembers(SqliteDb& db, std::ostream& out, int64_t roomId, const std::string& tenant) {
    auto q = db.query(
        "SELECT user_id, name, join_seq, has_left, left_at, left_all_history FROM members "
        "WHERE room_id = ?1 AND tenant_id = ?2 ORDER BY user_id");
    q->bind(1, roomId).bindText(2, tenant);
    while (q->step()) {
        out << "  member " << quoted(q->columnBytes(0)) << " name " << quoted(q->columnBytes(1))
            << " join_seq " << q->columnInt(2);
        if (q->columnInt(3))
            out << " left at " << timeColumn(q, 4)
                << (q->columnInt(5) ? " (whole history)" : "");
        else
            out << " member";
        out << "\n";
    }
}

void dumpRooms(SqliteDb& db, std::ostream& out) {
    auto q = db.query(
        "SELECT room_id, tenant_id, room_type, max_msg_seq, last_activity, ended, ended_at "
        "FROM rooms ORDER BY room_id, tenant_id");
    while (q->step()) {
        int64_t roomId = q->columnInt(0);
        std::string tenant = q->columnBytes(1);
        out << "room " << roomId << " tenant " << quoted(tenant) << " type " << q->columnInt(2)
            << " max_msg_seq " << q->columnInt(3) << " last_activity " << timeColumn(q, 4);
        if (q->columnInt(5)) out << " ended at " << timeColumn(q, 6);
        else out << " open";
        out << "\n";
        dumpMembers(db, out, roomId, tenant);
        dumpMessages(db, out, roomId, tenant);
    }
}

void dumpOutboxes(SqliteDb& db, std::ostream& out) {
    {
        auto q = db.query(
            "SELECT id, room_id, msg_seq, recipient, sender_id, preview, conn, recorded_at "
            "FROM push_outbox ORDER BY id");
        while (q->step())
            out << "push " << q->columnInt(0) << " room " << q->columnInt(1) << " msg "
                << q->columnInt(2) << " to " << quoted(q->columnBytes(3)) << " from "
                << quoted(q->columnBytes(4)) << " preview " << hexBytes(q->columnBytes(5))
                << " conn " << quoted(q->columnBytes(6)) << " at " << timeColumn(q, 7) << "\n";
    }
    {
        auto q = db.query(
            "SELECT id, from_id, to_id, target_ids, contents, recorded_at FROM invite_outbox "
            "ORDER BY id");
        while (q->step())
            out << "invite " << q->columnInt(0) << " from " << quoted(q->columnBytes(1))
                << " to " << quoted(q->columnBytes(2)) << " targets "
                << quoted(q->columnBytes(3)) << " contents " << quoted(q->columnBytes(4))
                << " at " << timeColumn(q, 5) << "\n";
    }
    auto q = db.query("SELECT user_id FROM no_device ORDER BY user_id");
    while (q->step()) out << "no-device " << quoted(q->columnBytes(0)) << "\n";
}

}  // namespace

void dumpDatabase(SqliteDb& db, std::ostream& out) {
    // One read transaction: the dump is a consistent snapshot even while a
    // running WAS keeps writing to the same file.
    db.exec("BEGIN");
    try {
        dumpRooms(db, out);
        dumpOutboxes(db, out);
    } catch (...) {
        db.exec("ROLLBACK");
        throw;
    }
    db.exec("COMMIT");
}
