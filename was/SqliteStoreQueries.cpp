// The read side of SqliteStore: room rows for room loading and the recipients a
// resent message still has to reach. Each read borrows a pooled connection;
// a query or read transaction begun now sees every write already answered.
#include "was/SqliteStore.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "was/RoomGroups.h"
#include "was/SqliteDb.h"

namespace {

// Columns shared by both room row queries. Rows come grouped by room (id
// and tenant), so that RoomGroups can count each room's members itself.
// Led by the room, each room is read once rather than once per member.
const std::string kRoomRowSelect =
    "SELECT r.room_id, r.tenant_id, m.user_id, m.name, m.join_seq, r.max_msg_seq, m.has_left, "
    "m.left_at, r.last_activity "
    "FROM rooms r JOIN members m ON m.room_id = r.room_id AND m.tenant_id = r.tenant_id ";

const std::string kNotEndedRows = kRoomRowSelect +
    "WHERE r.ended = 0 AND r.room_id > ?1 AND r.room_id <= ?2 "
    "ORDER BY r.room_id, r.tenant_id, m.user_id";

const std::string kOneRoomRows =
    kRoomRowSelect + "WHERE r.room_id = ?1 AND r.tenant_id = ?2 ORDER BY m.user_id";

// The last room id of a page of pageRooms distinct ids. Only rooms with
// members count: a page made only of empty rooms would look like the end.
const char* const kPageLastRoom =
    "SELECT DISTINCT r.room_id FROM rooms r WHERE r.ended = 0 AND r.room_id > ?1 "
    "AND EXISTS (SELECT 1 FROM members m WHERE m.room_id = r.room_id "
    "AND m.tenant_id = r.tenant_id) ORDER BY r.room_id LIMIT 1 OFFSET ?2";

uint32_t u32(int64_t value) {
    return static_cast<uint32_t>(value);
}

// Reads the rows of a room row query into groups, one room at a time.
void readRoomRows(SqliteDb::Query& q, const WasStore::RoomRowVisitor& visit) {
    RoomGroups groups(visit);
    while (q->step()) {
        room_row_t& row = groups.next(u32(q->columnInt(0)), q->columnView(1), q->columnInt(4));
        row.userId.assign(q->columnView(2));
        row.nameInfo.assign(q->columnView(3));
        row.joinSeq = u32(q->columnInt(4));
        row.maxMsgSeq = u32(q->columnInt(5));
        row.left = q->columnInt(6) != 0;
        row.leftAt = u32(q->columnInt(7));
        row.lastActivity = u32(q->columnInt(8));
    }
    groups.finish();
}

}  // namespace

void SqliteStore::notEndedRooms(uint32_t startAfter, std::optional<uint32_t> pageRooms,
                                const daemon_address_t& /*daemon*/, const RoomRowVisitor& visit) {
    SqliteReaderPool::Lease db = m_readers.lend();
    // One read transaction, so the page bound and the rows see the same data.
    SqliteTransaction tx(*db, SqliteTransaction::Lock::Read);
    int64_t last = std::numeric_limits<uint32_t>::max();
    if (pageRooms) {
        auto q = db->query(kPageLastRoom);
        q->bind(1, startAfter).bind(2, int64_t(*pageRooms) - 1);
        if (q->step()) last = q->columnInt(0);
    }
    auto q = db->query(kNotEndedRows.c_str());
    q->bind(1, startAfter).bind(2, last);
    readRoomRows(q, visit);
}

void SqliteStore::roomRows(uint32_t roomId, const std::string& tenantId,
                           const daemon_address_t& /*daemon*/, const RoomRowVisitor& visit) {
    SqliteReaderPool::Lease db = m_readers.lend();
    auto q = db->query(kOneRoomRows.c_str());
    q->bind(1, roomId).bindText(2, tenantId);
    readRoomRows(q, visit);
}

std::optional<std::vector<fail_row_t>> SqliteStore::failedRecipients(
    uint32_t roomId, const std::string& tenantId, uint32_t msgSeq) {
    SqliteReaderPool::Lease db = m_readers.lend();
    SqliteTransaction tx(*db, SqliteTransaction::Lock::Read);
    uint32_t trid = 0;
    std::string sender;
    {
        auto q = db->query(
            "SELECT trid, sender_id FROM messages "
            "WHERE room_id = ?1 AND tenant_id = ?2 AND msg_seq = ?3");
        q->bind(1, roomId).bindText(2, tenantId).bind(3, msgSeq);
        if (!q->step()) return std::nullopt;
        trid = u32(q->columnInt(0));
        sender = q->columnBytes(1);
    }
    // The sender is listed among the room's members when the message is
    // saved, but a relay never goes back to it.
    auto q = db->query(
        "SELECT user_id FROM recipients WHERE room_id = ?1 AND tenant_id = ?2 AND msg_seq = ?3 "
        "AND delivered = 0 AND user_id <> ?4 ORDER BY user_id");
    q->bind(1, roomId).bindText(2, tenantId).bind(3, msgSeq).bindText(4, sender);
    std::vector<fail_row_t> rows;
    while (q->step()) rows.push_back({roomId, msgSeq, trid, q->columnBytes(0)});
    return rows;
}
