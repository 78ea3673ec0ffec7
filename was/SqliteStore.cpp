#include "was/SqliteStore.h"

#include <memory>
#include <stdexcept>

#include "was/RequestError.h"
#include "was/SqliteDb.h"
#include "was/WasDump.h"
#include "was/WasSchema.h"
#include "was/WasText.h"

namespace {

// A message revives a room that was ended before it was written; an old
// message arriving late does not. The daemon that saves (?6, ?7; NULL when
// it did not say) takes a room that no daemon holds; a holder stays.
const char* const kUpsertRoom = R"sql(
INSERT INTO rooms(room_id, tenant_id, room_type, max_msg_seq, last_activity, svr_ip, svr_port)
VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)
ON CONFLICT(room_id, tenant_id) DO UPDATE SET
    room_type = MAX(room_type, excluded.room_type),
    max_msg_seq = MAX(max_msg_seq, excluded.max_msg_seq),
    last_activity = MAX(last_activity, excluded.last_activity),
    ended = CASE WHEN ended = 1 AND excluded.last_activity >= ended_at THEN 0 ELSE ended END,
    ended_at = CASE WHEN ended = 1 AND excluded.last_activity >= ended_at THEN NULL
               ELSE ended_at END,
    svr_ip = CASE WHEN svr_port IS NULL THEN excluded.svr_ip ELSE svr_ip END,
    svr_port = COALESCE(svr_port, excluded.svr_port))sql";

// A higher join sequence is a new membership (re-added or rejoined after a
// leave); the same or a lower one never undoes a recorded leave.
const char* const kUpsertMember = R"sql(
INSERT INTO members(room_id, tenant_id, user_id, name, join_seq)
VALUES(?1, ?2, ?3, COALESCE(?4, ''), COALESCE(?5, 0))
ON CONFLICT(room_id, tenant_id, user_id) DO UPDATE SET
    name = COALESCE(?4, name),
    has_left = CASE WHEN ?5 > join_seq THEN 0 ELSE has_left END,
    left_at = CASE WHEN ?5 > join_seq THEN NULL ELSE left_at END,
    left_all_history = CASE WHEN ?5 > join_seq THEN 0 ELSE left_all_history END,
    join_seq = MAX(join_seq, COALESCE(?5, join_seq)))sql";

const char* const kInsertMessage = R"sql(
INSERT INTO messages(room_id, tenant_id, msg_seq, msg_type, msg_time, sender_id, sender_name,
    sender_os_type, body, file_name, file_size, file_url, trid, member_count, room_type)
VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15))sql";

const char* const kUpsertRecipient = R"sql(
INSERT INTO recipients(room_id, tenant_id, msg_seq, user_id, join_seq, read_yn)
VALUES(?1, ?2, ?3, ?4, ?5, ?6)
ON CONFLICT DO UPDATE SET
    join_seq = COALESCE(join_seq, excluded.join_seq),
    read_yn = COALESCE(read_yn, excluded.read_yn))sql";

const char* const kUpsertDelivery = R"sql(
INSERT INTO recipients(room_id, tenant_id, msg_seq, user_id, join_seq, delivered)
VALUES(?1, ?2, ?3, ?4, ?5, ?6)
ON CONFLICT DO UPDATE SET
    delivered = excluded.delivered,
    join_seq = COALESCE(join_seq, excluded.join_seq))sql";

// True for a repeated save of the same message; throws when the sequence
// number is already taken by another message.
bool alreadyStored(SqliteDb& db, const saved_message_t& message) {
    auto q = db.query(
        "SELECT sender_id, body, msg_type, msg_time, trid FROM messages "
        "WHERE room_id = ?1 AND tenant_id = ?2 AND msg_seq = ?3");
    q->bind(1, message.roomId).bindText(2, message.tenantId).bind(3, message.msgSeq);
    if (!q->step()) return false;
    bool same = q->columnBytes(0) == message.senderId && q->columnBytes(1) == message.text &&
                q->columnInt(2) == message.msgType && q->columnInt(3) == message.msgTime &&
                q->columnInt(4) == message.trid;
    if (!same) throw RequestError(WAS_CONFLICT, "msg_seq already stored with other content");
    return true;
}

void upsertRoom(SqliteDb& db, const saved_message_t& message) {
    auto q = db.query(kUpsertRoom);
    q->bind(1, message.roomId).bindText(2, message.tenantId).bind(3, message.roomType);
    q->bind(4, message.msgSeq).bind(5, message.msgTime);
    if (message.daemon.known()) q->bindText(6, message.daemon.ip).bind(7, message.daemon.port);
    q->run();
}

void insertMessage(SqliteDb& db, const saved_message_t& message) {
    auto q = db.query(kInsertMessage);
    q->bind(1, message.roomId).bindText(2, message.tenantId).bind(3, message.msgSeq);
    q->bind(4, message.msgType).bind(5, message.msgTime).bindText(6, message.senderId);
    q->bindText(7, message.senderName).bind(8, message.senderOsType);
    q->bindBlob(9, message.text).bindBlob(10, message.fileName).bind(11, message.fileSize);
    q->bindBlob(12, message.fileUrl).bind(13, message.trid).bind(14, message.memberCount);
    q->bind(15, message.roomType).run();
}

void upsertMember(SqliteDb& db, const saved_message_t& message, const recipient_t& member) {
    auto q = db.query(kUpsertMember);
    q->bind(1, message.roomId).bindText(2, message.tenantId).bindText(3, member.userId);
    if (member.name) q->bindText(4, *member.name);
    q->bindOptional(5, member.joinSeq).run();
}

void upsertRecipient(SqliteDb& db, const saved_message_t& message, const recipient_t& recipient) {
    auto q = db.query(kUpsertRecipient);
    q->bind(1, message.roomId).bindText(2, message.tenantId).bind(3, message.msgSeq);
    q->bindText(4, recipient.userId).bindOptional(5, recipient.joinSeq);
    if (recipient.readYn) q->bindText(6, *recipient.readYn);
    q->run();
}

std::optional<int64_t> storedJoinSeq(SqliteDb& db, const leave_t& leave,
                                     const std::string& tenant) {
    auto q = db.query(
        "SELECT join_seq FROM members WHERE room_id = ?1 AND tenant_id = ?2 AND user_id = ?3");
    q->bind(1, leave.roomId).bindText(2, tenant).bindText(3, leave.userId);
    if (!q->step()) return std::nullopt;
    return q->columnInt(0);
}

void touchRoom(SqliteDb& db, const leave_t& leave, const std::string& tenant) {
    auto q = db.query(
        "INSERT INTO rooms(room_id, tenant_id, room_type, max_msg_seq, last_activity) "
        "VALUES(?1, ?2, 0, 0, ?3) ON CONFLICT(room_id, tenant_id) DO UPDATE SET "
        "last_activity = MAX(last_activity, excluded.last_activity)");
    q->bind(1, leave.roomId).bindText(2, tenant).bind(3, leave.time).run();
}

void markLeft(SqliteDb& db, const leave_t& leave, const std::string& tenant, int64_t joinSeq) {
    auto q = db.query(
        "INSERT INTO members(room_id, tenant_id, user_id, name, join_seq, has_left, left_at, "
        "left_all_history) VALUES(?1, ?2, ?3, '', ?4, 1, ?5, ?6) "
        "ON CONFLICT(room_id, tenant_id, user_id) DO UPDATE SET join_seq = excluded.join_seq, "
        "has_left = 1, left_at = excluded.left_at, left_all_history = excluded.left_all_history");
    q->bind(1, leave.roomId).bindText(2, tenant).bindText(3, leave.userId).bind(4, joinSeq);
    q->bind(5, leave.time).bind(6, leave.wholeHistory ? 1 : 0).run();
}

bool hasNoDevice(SqliteDb& db, const std::string& userId) {
    auto q = db.query("SELECT 1 FROM no_device WHERE user_id = ?1");
    q->bindText(1, userId);
    return q->step();
}

void recordPushTo(SqliteDb& db, const push_request_t& push, const std::string& recipient,
                  uint32_t now) {
    auto q = db.query(
        "INSERT INTO push_outbox(room_id, msg_seq, msg_type, msg_time, recipient, sender_id, "
        "sender_name, preview, conn, member_count, recorded_at) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    q->bind(1, push.roomId).bind(2, push.msgSeq).bind(3, push.msgType).bind(4, push.time);
    q->bindText(5, recipient).bindText(6, push.senderId).bindText(7, push.senderName);
    q->bindBlob(8, push.preview).bindText(9, push.conn).bind(10, push.memberCount);
    q->bind(11, now).run();
}

std::unique_ptr<SqliteDb> openForWriting(const std::string& path) {
    auto db = std::make_unique<SqliteDb>(path, SqliteDb::Mode::ReadWrite);
    SqliteTransaction tx(*db);
    createWasSchema(*db);
    tx.commit();
    return db;
}

}  // namespace

// The writer is declared first: it creates the file the readers open.
SqliteStore::SqliteStore(const std::string& path, const commit_settings_t& commit)
    : m_writer(openForWriting(path), commit), m_readers(path) {}

// Each write below runs on the writer thread inside its own savepoint: a
// throw rolls back that request alone. The lambdas capture the caller's
// arguments by reference, which stay alive because apply() waits.

void SqliteStore::saveMessage(const saved_message_t& message) {
    m_writer.apply([&](SqliteDb& db) {
        if (alreadyStored(db, message)) return;
        upsertRoom(db, message);
        insertMessage(db, message);
        for (const recipient_t& recipient : message.recipients) {
            upsertMember(db, message, recipient);
            upsertRecipient(db, message, recipient);
        }
    });
}

void SqliteStore::updateSendState(const send_state_t& state) {
    m_writer.apply([&](SqliteDb& db) {
        for (const delivery_t& user : state.users) {
            auto q = db.query(kUpsertDelivery);
            q->bind(1, state.roomId).bindText(2, state.tenantId).bind(3, state.msgSeq);
            q->bindText(4, user.userId).bindOptional(5, user.joinSeq);
            q->bind(6, state.delivered ? 1 : 0).run();
        }
    });
}

void SqliteStore::leave(const leave_t& leave) {
    const std::string tenant = tenantOf(leave.userId);
    m_writer.apply([&](SqliteDb& db) {
        // Checked before anything is written: a superseded leave changes
        // nothing, not even the room's last activity.
        std::optional<int64_t> stored = storedJoinSeq(db, leave, tenant);
        if (stored && !leave.wholeHistory && leave.joinSeq < *stored) return;
        touchRoom(db, leave, tenant);
        markLeft(db, leave, tenant, leave.wholeHistory ? stored.value_or(0) : leave.joinSeq);
    });
}

void SqliteStore::endRoom(uint32_t roomId, const std::string& tenantId, uint32_t time) {
    m_writer.apply([&](SqliteDb& db) {
        auto q = db.query(
            "UPDATE rooms SET ended_at = CASE WHEN ended = 1 THEN ended_at ELSE ?3 END, "
            "ended = 1 WHERE room_id = ?1 AND tenant_id = ?2");
        q->bind(1, roomId).bindText(2, tenantId).bind(3, time).run();
        if (db.changes() == 0) throw RequestError(WAS_NOT_FOUND, "unknown room");
    });
}

std::vector<push_result_t> SqliteStore::recordPush(const push_request_t& push) {
    const uint32_t now = nowSeconds();
    std::vector<push_result_t> results;
    m_writer.apply([&](SqliteDb& db) {
        for (const std::string& recipient : push.recipients) {
            if (hasNoDevice(db, recipient)) {
                results.push_back({recipient, 300, "no device registered"});
                continue;
            }
            recordPushTo(db, push, recipient, now);
            results.push_back({recipient, 0, "recorded"});
        }
    });
    return results;
}

void SqliteStore::recordInvite(const invite_t& invite) {
    const uint32_t now = nowSeconds();
    m_writer.apply([&](SqliteDb& db) {
        auto q = db.query(
            "INSERT INTO invite_outbox(from_id, to_id, target_ids, contents, recorded_at) "
            "VALUES(?1, ?2, ?3, ?4, ?5)");
        q->bindText(1, invite.fromId).bindText(2, invite.toId).bindText(3, invite.targetIds);
        q->bindBlob(4, invite.contents).bind(5, now).run();
    });
}

void SqliteStore::setNoDevice(const std::string& userId, bool noDevice) {
    m_writer.apply([&](SqliteDb& db) {
        auto q = db.query(noDevice ? "INSERT OR IGNORE INTO no_device(user_id) VALUES(?1)"
                                   : "DELETE FROM no_device WHERE user_id = ?1");
        q->bindText(1, userId).run();
    });
}

void SqliteStore::dump(std::ostream& out) {
    SqliteReaderPool::Lease db = m_readers.lend();
    dumpDatabase(*db, out);
}
