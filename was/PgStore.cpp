// The write side of PgStore, and the transaction loop every call runs in.
#include "was/PgStore.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "was/PgSchema.h"
#include "was/RequestError.h"
#include "was/WasText.h"

const char* const PgStore::kReadCommitted = "BEGIN";
const char* const PgStore::kRepeatableRead = "BEGIN ISOLATION LEVEL REPEATABLE READ";
const char* const PgStore::kReadOnlySnapshot =
    "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";

namespace {

// A message revives a room that was ended before it was written; an old
// message arriving late does not. The daemon that saves ($6, $7; NULL when
// it did not say) takes a room that no daemon holds; a holder stays.
const pg_statement_t kUpsertRoom = {"upsert_room", R"sql(
INSERT INTO rooms AS r (room_id, tenant_id, room_type, max_msg_seq, last_activity, svr_ip,
    svr_port)
VALUES($1, $2, $3, $4, $5, $6, $7)
ON CONFLICT(room_id, tenant_id) DO UPDATE SET
    room_type = GREATEST(r.room_type, excluded.room_type),
    max_msg_seq = GREATEST(r.max_msg_seq, excluded.max_msg_seq),
    last_activity = GREATEST(r.last_activity, excluded.last_activity),
    ended = CASE WHEN r.ended = 1 AND excluded.last_activity >= r.ended_at THEN 0
            ELSE r.ended END,
    ended_at = CASE WHEN r.ended = 1 AND excluded.last_activity >= r.ended_at THEN NULL
               ELSE r.ended_at END,
    svr_ip = CASE WHEN r.svr_port IS NULL THEN excluded.svr_ip ELSE r.svr_ip END,
    svr_port = COALESCE(r.svr_port, excluded.svr_port))sql"};

// A higher join sequence is a new membership (re-added or rejoined after a
// leave); the same or a lower one never undoes a recorded leave.
const pg_statement_t kUpsertMember = {"upsert_member", R"sql(
INSERT INTO members AS m (room_id, tenant_id, user_id, name, join_seq)
VALUES($1, $2, $3, COALESCE($4, ''::bytea), COALESCE($5, 0))
ON CONFLICT(room_id, tenant_id, user_id) DO UPDATE SET
    name = COALESCE($4, m.name),
    has_left = CASE WHEN $5 > m.join_seq THEN 0 ELSE m.has_left END,
    left_at = CASE WHEN $5 > m.join_seq THEN NULL ELSE m.left_at END,
    left_all_history = CASE WHEN $5 > m.join_seq THEN 0 ELSE m.left_all_history END,
    join_seq = GREATEST(m.join_seq, COALESCE($5, m.join_seq)))sql"};

const pg_statement_t kBegin = {"begin", "BEGIN"};
const pg_statement_t kCommit = {"commit", "COMMIT"};

// Fails with a unique violation when the sequence number is taken, which
// stops the rest of the save: the caller then compares.
const pg_statement_t kInsertMessage = {"insert_message", R"sql(
INSERT INTO messages(room_id, tenant_id, msg_seq, msg_type, msg_time, sender_id, sender_name,
    sender_os_type, body, file_name, file_size, file_url, trid, member_count, room_type)
VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15))sql"};
const char* const kUniqueViolation = "23505";

const pg_statement_t kStoredMessage = {"stored_message", R"sql(
SELECT sender_id, body, msg_type, msg_time, trid FROM messages
WHERE room_id = $1 AND tenant_id = $2 AND msg_seq = $3)sql"};

const pg_statement_t kUpsertRecipient = {"upsert_recipient", R"sql(
INSERT INTO recipients AS c (room_id, tenant_id, msg_seq, user_id, join_seq, read_yn)
VALUES($1, $2, $3, $4, $5, $6)
ON CONFLICT(room_id, tenant_id, msg_seq, user_id) DO UPDATE SET
    join_seq = COALESCE(c.join_seq, excluded.join_seq),
    read_yn = COALESCE(c.read_yn, excluded.read_yn))sql"};

const pg_statement_t kUpsertDelivery = {"upsert_delivery", R"sql(
INSERT INTO recipients AS c (room_id, tenant_id, msg_seq, user_id, join_seq, delivered)
VALUES($1, $2, $3, $4, $5, $6)
ON CONFLICT(room_id, tenant_id, msg_seq, user_id) DO UPDATE SET
    delivered = excluded.delivered,
    join_seq = COALESCE(c.join_seq, excluded.join_seq))sql"};

const pg_statement_t kStoredJoinSeq = {"stored_join_seq", R"sql(
SELECT join_seq FROM members WHERE room_id = $1 AND tenant_id = $2 AND user_id = $3)sql"};

const pg_statement_t kTouchRoom = {"touch_room", R"sql(
INSERT INTO rooms AS r (room_id, tenant_id, room_type, max_msg_seq, last_activity)
VALUES($1, $2, 0, 0, $3)
ON CONFLICT(room_id, tenant_id) DO UPDATE SET
    last_activity = GREATEST(r.last_activity, excluded.last_activity))sql"};

const pg_statement_t kMarkLeft = {"mark_left", R"sql(
INSERT INTO members AS m (room_id, tenant_id, user_id, name, join_seq, has_left, left_at,
    left_all_history)
VALUES($1, $2, $3, ''::bytea, $4, 1, $5, $6)
ON CONFLICT(room_id, tenant_id, user_id) DO UPDATE SET
    join_seq = excluded.join_seq, has_left = 1, left_at = excluded.left_at,
    left_all_history = excluded.left_all_history)sql"};

const pg_statement_t kEndRoom = {"end_room", R"sql(
UPDATE rooms SET ended_at = CASE WHEN ended = 1 THEN ended_at ELSE $3 END, ended = 1
WHERE room_id = $1 AND tenant_id = $2)sql"};

// Recorded unless the recipient is registered as having no device: one
// statement, so the check and the insert see the same registrations.
const pg_statement_t kRecordPush = {"record_push", R"sql(
INSERT INTO push_outbox(room_id, msg_seq, msg_type, msg_time, recipient, sender_id,
    sender_name, preview, conn, member_count, recorded_at)
SELECT $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11
WHERE NOT EXISTS (SELECT 1 FROM no_device WHERE user_id = $5))sql"};

const pg_statement_t kRecordInvite = {"record_invite", R"sql(
INSERT INTO invite_outbox(from_id, to_id, target_ids, contents, recorded_at)
VALUES($1, $2, $3, $4, $5))sql"};

const pg_statement_t kAddNoDevice = {
    "add_no_device", "INSERT INTO no_device(user_id) VALUES($1) ON CONFLICT DO NOTHING"};
const pg_statement_t kRemoveNoDevice = {"remove_no_device",
                                        "DELETE FROM no_device WHERE user_id = $1"};

// Rows are locked in user id order by every request that writes several of
// one room, so two of them never wait for each other in a cycle. The sort
// is stable: a user listed twice is applied in request order, as SQLite does.
template <typename Row>
std::vector<const Row*> byUserId(const std::vector<Row>& rows) {
    std::vector<const Row*> sorted;
    sorted.reserve(rows.size());
    for (const Row& row : rows) sorted.push_back(&row);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Row* a, const Row* b) { return a->userId < b->userId; });
    return sorted;
}

// The parameters of a statement appended to the batch.
PgParams& append(PgBatch& batch, const pg_statement_t& statement) {
    batch.push_back({&statement, PgParams()});
    return batch.back().params;
}

// Every statement of a save, sent together: the message row first, so that a
// repeated save stops there, then the room and its members, whose rows are
// locked in that order.
PgBatch saveBatch(const saved_message_t& m, const std::vector<const recipient_t*>& members) {
    PgBatch batch;
    append(batch, kBegin);
    PgParams& message = append(batch, kInsertMessage);
    message.add(int64_t(m.roomId)).add(m.tenantId).add(int64_t(m.msgSeq));
    message.add(int64_t(m.msgType)).add(int64_t(m.msgTime)).add(m.senderId).add(m.senderName);
    message.add(int64_t(m.senderOsType)).add(m.text).add(m.fileName).add(int64_t(m.fileSize));
    message.add(m.fileUrl).add(int64_t(m.trid)).add(int64_t(m.memberCount));
    message.add(int64_t(m.roomType));

    PgParams& room = append(batch, kUpsertRoom);
    room.add(int64_t(m.roomId)).add(m.tenantId).add(int64_t(m.roomType)).add(int64_t(m.msgSeq));
    room.add(int64_t(m.msgTime));
    if (m.daemon.known()) room.add(m.daemon.ip).add(int64_t(m.daemon.port));
    else room.addNullBytes().addNullInteger();

    for (const recipient_t* member : members)
        append(batch, kUpsertMember)
            .add(int64_t(m.roomId)).add(m.tenantId).add(member->userId).add(member->name)
            .add(member->joinSeq);
    for (const recipient_t* to : members)
        append(batch, kUpsertRecipient)
            .add(int64_t(m.roomId)).add(m.tenantId).add(int64_t(m.msgSeq)).add(to->userId)
            .add(to->joinSeq).add(to->readYn);
    append(batch, kCommit);
    return batch;
}

// The sequence number is taken: nothing for the same message again, 409
// for another.
void compareStored(PgConnection& conn, const saved_message_t& m) {
    PgParams key;
    key.add(int64_t(m.roomId)).add(m.tenantId).add(int64_t(m.msgSeq));
    PgResult stored = conn.run(kStoredMessage, key);
    bool same = stored.rows() == 1 && stored.bytes(0, 0) == m.senderId &&
                stored.bytes(0, 1) == m.text && stored.integer(0, 2) == m.msgType &&
                stored.integer(0, 3) == m.msgTime && stored.integer(0, 4) == m.trid;
    if (!same) throw RequestError(WAS_CONFLICT, "msg_seq already stored with other content");
}

std::optional<int64_t> storedJoinSeq(PgConnection& conn, const leave_t& leave,
                                     const std::string& tenant) {
    PgParams p;
    p.add(int64_t(leave.roomId)).add(tenant).add(leave.userId);
    PgResult row = conn.run(kStoredJoinSeq, p);
    if (row.rows() == 0) return std::nullopt;
    return row.integer(0, 0);
}

// Daemons listing their rooms take the unheld ones one list at a time,
// whichever WAS they ask. A list reads its page in a snapshot begun once the
// previous list has committed, so it sees that list's takes and never
// reaches for the same rooms; without the lock, two daemons starting
// together would collide page after page and run out of retries. The lock
// is the session's, taken before BEGIN: a lock taken inside the
// transaction would come after its snapshot. A save or reload that takes a
// room of the page meanwhile makes the list fail to serialize and run again.
class RoomTakeLock {
public:
    explicit RoomTakeLock(PgConnection& conn) : m_conn(conn) {
        m_conn.exec("SELECT pg_advisory_lock(8390043886578857057)");
    }
    RoomTakeLock(const RoomTakeLock&) = delete;
    RoomTakeLock& operator=(const RoomTakeLock&) = delete;
    ~RoomTakeLock() {
        if (!m_conn.connected()) return;  // the server let go with the session
        try {
            m_conn.exec("SELECT pg_advisory_unlock(8390043886578857057)");
        } catch (...) {
            m_conn.spoil();  // closing the session lets go of the lock
        }
    }

private:
    PgConnection& m_conn;
};

// A short random pause before running a transaction again, so that the
// requests that collided do not collide again in step.
void pauseBeforeRetry(int attempt) {
    thread_local std::minstd_rand random(
        static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())));
    std::uniform_int_distribution<int> micros(0, 1000 * attempt);
    std::this_thread::sleep_for(std::chrono::microseconds(micros(random)));
}

}  // namespace

PgStore::PgStore(const std::string& location, size_t connections)
    : m_pool(location, connections) {
    PgPool::Lease conn = m_pool.lend();
    migratePgSchema(*conn);
}

void PgStore::transact(const run_rules_t& rules, const Work& work) {
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        PgPool::Lease conn = m_pool.lend();
        bool begun = false;
        try {
            std::optional<RoomTakeLock> lock;
            if (rules.takesRooms) lock.emplace(*conn);
            if (!rules.begin) {
                begun = true;
                work(*conn);
                return;
            }
            PgTransaction tx(*conn, rules.begin);
            begun = true;
            work(*conn);
            tx.commit();
            return;
        } catch (const PgError& e) {
            // A connection that idled in the pool while the server restarted
            // fails at its first command.
            const bool lost = !conn->connected() && (!begun || rules.repeatable);
            const bool handedOn = rules.handedOn && *rules.handedOn;
            if (!(e.retryable() || lost) || handedOn || attempt == kAttempts) throw;
        }
        pauseBeforeRetry(attempt);
    }
}

void PgStore::saveMessage(const saved_message_t& message) {
    const std::vector<const recipient_t*> members = byUserId(message.recipients);
    const PgBatch batch = saveBatch(message, members);
    // Repeatable: a second run of a save that did commit stops at its
    // message row and compares equal.
    transact({.repeatable = true}, [&](PgConnection& conn) {
        try {
            conn.runTogether(batch);
            return;
        } catch (const PgError& e) {
            if (e.sqlState() != kUniqueViolation) throw;
        }
        compareStored(conn, message);
    });
}

void PgStore::updateSendState(const send_state_t& state) {
    const std::vector<const delivery_t*> users = byUserId(state.users);
    PgBatch batch;
    append(batch, kBegin);
    for (const delivery_t* user : users)
        append(batch, kUpsertDelivery)
            .add(int64_t(state.roomId)).add(state.tenantId).add(int64_t(state.msgSeq))
            .add(user->userId).add(user->joinSeq).add(int64_t(state.delivered ? 1 : 0));
    append(batch, kCommit);
    // Setting the same states again changes nothing.
    transact({.repeatable = true}, [&](PgConnection& conn) { conn.runTogether(batch); });
}

void PgStore::leave(const leave_t& leave) {
    const std::string tenant = tenantOf(leave.userId);
    // Repeatable read: when a save changes the member or creates the room
    // after the join sequence is read, the writes below fail to serialize
    // and the leave runs again, against the new membership.
    transact({.begin = kRepeatableRead}, [&](PgConnection& conn) {
        // Checked before anything is written: a superseded leave changes
        // nothing, not even the room's last activity.
        std::optional<int64_t> stored = storedJoinSeq(conn, leave, tenant);
        if (stored && !leave.wholeHistory && leave.joinSeq < *stored) return;
        PgParams room;
        room.add(int64_t(leave.roomId)).add(tenant).add(int64_t(leave.time));
        conn.run(kTouchRoom, room);
        PgParams member;
        member.add(int64_t(leave.roomId)).add(tenant).add(leave.userId);
        member.add(leave.wholeHistory ? stored.value_or(0) : int64_t(leave.joinSeq));
        member.add(int64_t(leave.time)).add(int64_t(leave.wholeHistory ? 1 : 0));
        conn.run(kMarkLeft, member);
    });
}

void PgStore::endRoom(uint32_t roomId, const std::string& tenantId, uint32_t time) {
    transact({.repeatable = true}, [&](PgConnection& conn) {
        PgParams p;
        p.add(int64_t(roomId)).add(tenantId).add(int64_t(time));
        if (conn.run(kEndRoom, p).changed() == 0) throw RequestError(WAS_NOT_FOUND, "unknown room");
    });
}

std::vector<push_result_t> PgStore::recordPush(const push_request_t& push) {
    const uint32_t now = nowSeconds();
    std::vector<push_result_t> results;
    transact({.begin = kReadCommitted}, [&](PgConnection& conn) {
        results.clear();
        for (const std::string& recipient : push.recipients) {
            PgParams p;
            p.add(int64_t(push.roomId)).add(int64_t(push.msgSeq)).add(int64_t(push.msgType));
            p.add(int64_t(push.time)).add(recipient).add(push.senderId).add(push.senderName);
            p.add(push.preview).add(push.conn).add(int64_t(push.memberCount)).add(int64_t(now));
            if (conn.run(kRecordPush, p).changed() == 1)
                results.push_back({recipient, 0, "recorded"});
            else
                results.push_back({recipient, 300, "no device registered"});
        }
    });
    return results;
}

void PgStore::recordInvite(const invite_t& invite) {
    const uint32_t now = nowSeconds();
    transact({}, [&](PgConnection& conn) {
        PgParams p;
        p.add(invite.fromId).add(invite.toId).add(invite.targetIds).add(invite.contents);
        p.add(int64_t(now));
        conn.run(kRecordInvite, p);
    });
}

void PgStore::setNoDevice(const std::string& userId, bool noDevice) {
    transact({.repeatable = true}, [&](PgConnection& conn) {
        PgParams p;
        p.add(userId);
        conn.run(noDevice ? kAddNoDevice : kRemoveNoDevice, p);
    });
}
