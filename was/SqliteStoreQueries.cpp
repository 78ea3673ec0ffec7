// The read side of SqliteStore: room rows for room loading, with the takes
// that assign rooms to the daemon loading them, the room directory, and the
// recipients a resent message still has to reach. Each read borrows a pooled
// connection; a query or read transaction begun now sees every write already
// answered.
#include "was/SqliteStore.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "was/RequestError.h"
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

// The same for one daemon: only the rooms it holds, read along the holder index.
const std::string kHeldNotEndedRows = kRoomRowSelect +
    "WHERE r.svr_ip = ?3 AND r.svr_port = ?4 AND r.ended = 0 AND r.room_id > ?1 "
    "AND r.room_id <= ?2 ORDER BY r.room_id, r.tenant_id, m.user_id";

const std::string kOneRoomRows =
    kRoomRowSelect + "WHERE r.room_id = ?1 AND r.tenant_id = ?2 ORDER BY m.user_id";

// The rooms a not-ended list may hold: not ended, with members (a page made
// only of empty rooms would look like the end), and for a known daemon
// (?3, ?4) only those it holds or that no daemon holds.
const std::string kListable =
    "r.ended = 0 AND r.room_id > ?1 AND EXISTS (SELECT 1 FROM members m "
    "WHERE m.room_id = r.room_id AND m.tenant_id = r.tenant_id) ";
const std::string kVisible = "AND (r.svr_port IS NULL OR (r.svr_ip = ?3 AND r.svr_port = ?4)) ";

// The last room id of a page of pageRooms (?2 + 1) distinct ids.
const std::string kPageLastRoom =
    "SELECT DISTINCT r.room_id FROM rooms r WHERE " + kListable + "ORDER BY r.room_id LIMIT 1 OFFSET ?2";
const std::string kVisiblePageLastRoom = "SELECT DISTINCT r.room_id FROM rooms r WHERE " + kListable +
                                         kVisible + "ORDER BY r.room_id LIMIT 1 OFFSET ?2";

// The unheld rooms of a page, ids in (?1, ?5], taken by the daemon listing them.
const std::string kTakeListed = "UPDATE rooms AS r SET svr_ip = ?3, svr_port = ?4 "
                                "WHERE r.svr_port IS NULL AND r.room_id <= ?5 AND " + kListable;

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


// The last room id of the page from startAfter, or the largest id when the
// page is unbounded or the rooms end before it is full.
int64_t pageBound(SqliteDb& db, uint32_t startAfter, std::optional<uint32_t> pageRooms,
                  const daemon_address_t* daemon) {
    int64_t last = std::numeric_limits<uint32_t>::max();
    if (!pageRooms) return last;
    auto q = db.query(daemon ? kVisiblePageLastRoom.c_str() : kPageLastRoom.c_str());
    q->bind(1, startAfter).bind(2, int64_t(*pageRooms) - 1);
    if (daemon) q->bindText(3, daemon->ip).bind(4, daemon->port);
    if (q->step()) last = q->columnInt(0);
    return last;
}

// Where the room is and who holds it: nothing when it is not stored.
std::optional<daemon_address_t> holderOf(SqliteDb& db, uint32_t roomId, const std::string& tenantId) {
    auto q = db.query("SELECT svr_ip, svr_port FROM rooms WHERE room_id = ?1 AND tenant_id = ?2");
    q->bind(1, roomId).bindText(2, tenantId);
    if (!q->step()) return std::nullopt;
    daemon_address_t holder;
    if (!q->columnIsNull(1)) {
        holder.ip = q->columnBytes(0);
        holder.port = u32(q->columnInt(1));
    }
    return holder;
}

}  // namespace

void SqliteStore::notEndedRooms(uint32_t startAfter, std::optional<uint32_t> pageRooms,
                                const daemon_address_t& daemon, const RoomRowVisitor& visit) {
    if (!daemon.known()) {
        SqliteReaderPool::Lease db = m_readers.lend();
        // One read transaction, so the page bound and the rows see the same data.
        SqliteTransaction tx(*db, SqliteTransaction::Lock::Read);
        const int64_t last = pageBound(*db, startAfter, pageRooms, nullptr);
        auto q = db->query(kNotEndedRows.c_str());
        q->bind(1, startAfter).bind(2, last);
        readRoomRows(q, visit);
        return;
    }
    // The bound and the take in one write: no other daemon can take a room
    // of the page between them, and no room is listed to two daemons.
    int64_t last = 0;
    m_writer.apply([&](SqliteDb& db) {
        last = pageBound(db, startAfter, pageRooms, &daemon);
        auto q = db.query(kTakeListed.c_str());
        q->bind(1, startAfter).bindText(3, daemon.ip).bind(4, daemon.port).bind(5, last).run();
    });
    // Read once committed, outside the writer: a start-up list may be long.
    SqliteReaderPool::Lease db = m_readers.lend();
    auto q = db->query(kHeldNotEndedRows.c_str());
    q->bind(1, startAfter).bind(2, last).bindText(3, daemon.ip).bind(4, daemon.port);
    readRoomRows(q, visit);
}

void SqliteStore::roomRows(uint32_t roomId, const std::string& tenantId, const daemon_address_t& daemon,
                           const RoomRowVisitor& visit) {
    if (daemon.known()) {
        bool stored = true;
        m_writer.apply([&](SqliteDb& db) {
            std::optional<daemon_address_t> holder = holderOf(db, roomId, tenantId);
            stored = holder.has_value();
            if (!holder || *holder == daemon) return;
            if (holder->known()) throw RequestError(WAS_CONFLICT, "room held by another daemon");
            auto q = db.query("UPDATE rooms SET svr_ip = ?3, svr_port = ?4 WHERE room_id = ?1 AND tenant_id = ?2");
            q->bind(1, roomId).bindText(2, tenantId).bindText(3, daemon.ip).bind(4, daemon.port).run();
        });
        if (!stored) return;
    }
    SqliteReaderPool::Lease db = m_readers.lend();
    auto q = db->query(kOneRoomRows.c_str());
    q->bind(1, roomId).bindText(2, tenantId);
    readRoomRows(q, visit);
}

std::optional<room_directory_t> SqliteStore::directory(uint32_t roomId, const std::string& tenantId) {
    SqliteReaderPool::Lease db = m_readers.lend();
    std::optional<daemon_address_t> holder = holderOf(*db, roomId, tenantId);
    if (!holder) return std::nullopt;
    return room_directory_t{roomId, tenantId, std::move(*holder)};
}

uint64_t SqliteStore::releaseDaemon(const daemon_address_t& daemon) {
    uint64_t released = 0;
    m_writer.apply([&](SqliteDb& db) {
        auto q = db.query("UPDATE rooms SET svr_ip = NULL, svr_port = NULL WHERE svr_ip = ?1 AND svr_port = ?2");
        q->bindText(1, daemon.ip).bind(2, daemon.port).run();
        released = static_cast<uint64_t>(db.changes());
    });
    return released;
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
