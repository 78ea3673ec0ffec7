// The read side of PgStore: room rows for room loading, with the takes that
// assign rooms to the daemon loading them, the room directory, and the
// recipients a resent message still has to reach. Long lists are streamed
// row by row from the server, never held whole.
#include "was/PgStore.h"

#include <limits>

#include "was/RequestError.h"
#include "was/RoomGroups.h"

namespace {

// Columns shared by the room row queries. Rows come grouped by room (id and
// tenant), so that RoomGroups can count each room's members itself.
#define ROOM_ROW_SELECT                                                                        \
    "SELECT r.room_id, r.tenant_id, m.user_id, m.name, m.join_seq, r.max_msg_seq, m.has_left, " \
    "m.left_at, r.last_activity "                                                              \
    "FROM rooms r JOIN members m ON m.room_id = r.room_id AND m.tenant_id = r.tenant_id "

// The rooms a not-ended list may hold: not ended, with members (a page made
// only of empty rooms would look like the end).
#define LISTABLE                                                      \
    "r.ended = 0 AND r.room_id > $1 AND EXISTS (SELECT 1 FROM members m " \
    "WHERE m.room_id = r.room_id AND m.tenant_id = r.tenant_id) "

const pg_statement_t kNotEndedRows = {
    "not_ended_rows", ROOM_ROW_SELECT
    "WHERE r.ended = 0 AND r.room_id > $1 AND r.room_id <= $2 "
    "ORDER BY r.room_id, r.tenant_id, m.user_id"};

// The same for one daemon ($3, $4): only the rooms it holds, read along the
// holder index.
const pg_statement_t kHeldNotEndedRows = {
    "held_not_ended_rows", ROOM_ROW_SELECT
    "WHERE r.svr_ip = $3 AND r.svr_port = $4 AND r.ended = 0 AND r.room_id > $1 "
    "AND r.room_id <= $2 ORDER BY r.room_id, r.tenant_id, m.user_id"};

const pg_statement_t kOneRoomRows = {
    "one_room_rows",
    ROOM_ROW_SELECT "WHERE r.room_id = $1 AND r.tenant_id = $2 ORDER BY m.user_id"};

// The last room id of a page of $2 + 1 distinct ids.
const pg_statement_t kPageLastRoom = {
    "page_last_room",
    "SELECT DISTINCT r.room_id FROM rooms r WHERE " LISTABLE
    "ORDER BY r.room_id LIMIT 1 OFFSET $2"};

// The same over the rooms a known daemon ($3, $4) may list: those it holds
// and those no daemon holds.
const pg_statement_t kVisiblePageLastRoom = {
    "visible_page_last_room",
    "SELECT DISTINCT r.room_id FROM rooms r WHERE " LISTABLE
    "AND (r.svr_port IS NULL OR (r.svr_ip = $3 AND r.svr_port = $4)) "
    "ORDER BY r.room_id LIMIT 1 OFFSET $2"};

// The unheld rooms of a page, ids in ($1, $2], taken by the daemon listing
// them ($3, $4).
const pg_statement_t kTakeListed = {
    "take_listed",
    "UPDATE rooms AS r SET svr_ip = $3, svr_port = $4 "
    "WHERE r.svr_port IS NULL AND r.room_id <= $2 AND " LISTABLE};

const pg_statement_t kHolder = {
    "room_holder", "SELECT svr_ip, svr_port FROM rooms WHERE room_id = $1 AND tenant_id = $2"};

const pg_statement_t kTakeRoom = {
    "take_room",
    "UPDATE rooms SET svr_ip = $3, svr_port = $4 "
    "WHERE room_id = $1 AND tenant_id = $2 AND svr_port IS NULL"};

const pg_statement_t kRelease = {
    "release_daemon",
    "UPDATE rooms SET svr_ip = NULL, svr_port = NULL WHERE svr_ip = $1 AND svr_port = $2"};

// The message's trid, and its undelivered recipients other than the sender
// (the sender is listed among the room's members when the message is saved,
// but a relay never goes back to it). One statement, one snapshot; a
// message with none of them gives one row with a NULL user.
const pg_statement_t kFailedRecipients = {"failed_recipients", R"sql(
SELECT g.trid, c.user_id FROM messages g
LEFT JOIN recipients c ON c.room_id = g.room_id AND c.tenant_id = g.tenant_id
    AND c.msg_seq = g.msg_seq AND c.delivered = 0 AND c.user_id <> g.sender_id
WHERE g.room_id = $1 AND g.tenant_id = $2 AND g.msg_seq = $3
ORDER BY c.user_id)sql"};

#undef ROOM_ROW_SELECT
#undef LISTABLE

uint32_t u32(int64_t value) {
    return static_cast<uint32_t>(value);
}

// Streams the rows of a room row query into groups, one room at a time.
void streamRoomRows(PgConnection& conn, const pg_statement_t& statement, const PgParams& params,
                    const WasStore::RoomRowVisitor& visit) {
    RoomGroups groups(visit);
    conn.stream(statement, params, [&](const PgResult& r) {
        room_row_t& row = groups.next(u32(r.integer(0, 0)), r.bytes(0, 1), r.integer(0, 4));
        row.userId.assign(r.bytes(0, 2));
        row.nameInfo.assign(r.bytes(0, 3));
        row.joinSeq = u32(r.integer(0, 4));
        row.maxMsgSeq = u32(r.integer(0, 5));
        row.left = r.integer(0, 6) != 0;
        row.leftAt = u32(r.integer(0, 7));
        row.lastActivity = u32(r.integer(0, 8));
    });
    groups.finish();
}

// The last room id of the page from startAfter, or the largest id when the
// page is unbounded or the rooms end before it is full.
int64_t pageBound(PgConnection& conn, uint32_t startAfter, std::optional<uint32_t> pageRooms,
                  const daemon_address_t* daemon) {
    int64_t last = std::numeric_limits<uint32_t>::max();
    if (!pageRooms) return last;
    PgParams p;
    p.add(int64_t(startAfter)).add(int64_t(*pageRooms) - 1);
    if (daemon) p.add(daemon->ip).add(int64_t(daemon->port));
    PgResult row = conn.run(daemon ? kVisiblePageLastRoom : kPageLastRoom, p);
    if (row.rows() > 0) last = row.integer(0, 0);
    return last;
}

// Who holds the room; nothing when it is not stored.
std::optional<daemon_address_t> holderOf(PgConnection& conn, uint32_t roomId,
                                         const std::string& tenantId) {
    PgParams p;
    p.add(int64_t(roomId)).add(tenantId);
    PgResult row = conn.run(kHolder, p);
    if (row.rows() == 0) return std::nullopt;
    daemon_address_t holder;
    if (!row.isNull(0, 1)) {
        holder.ip.assign(row.bytes(0, 0));
        holder.port = u32(row.integer(0, 1));
    }
    return holder;
}

}  // namespace

void PgStore::notEndedRooms(uint32_t startAfter, std::optional<uint32_t> pageRooms,
                            const daemon_address_t& daemon, const RoomRowVisitor& visit) {
    bool handedOn = false;
    const RoomRowVisitor counted = [&](const room_row_t& row) {
        handedOn = true;
        visit(row);
    };
    const daemon_address_t* mine = daemon.known() ? &daemon : nullptr;
    // One snapshot, so that the page bound and the rows see the same rooms.
    // For a known daemon the take writes in it too, under the lock that
    // orders the lists of all daemons.
    const run_rules_t rules = {.begin = mine ? kRepeatableRead : kReadOnlySnapshot,
                               .takesRooms = mine != nullptr,
                               .handedOn = &handedOn};
    transact(rules, [&](PgConnection& conn) {
        const int64_t last = pageBound(conn, startAfter, pageRooms, mine);
        PgParams p;
        p.add(int64_t(startAfter)).add(last);
        if (!mine) return streamRoomRows(conn, kNotEndedRows, p, counted);
        p.add(daemon.ip).add(int64_t(daemon.port));
        conn.run(kTakeListed, p);
        streamRoomRows(conn, kHeldNotEndedRows, p, counted);
    });
}

void PgStore::roomRows(uint32_t roomId, const std::string& tenantId,
                       const daemon_address_t& daemon, const RoomRowVisitor& visit) {
    PgParams key;
    key.add(int64_t(roomId)).add(tenantId);
    if (!daemon.known()) {
        transact({}, [&](PgConnection& conn) {
            streamRoomRows(conn, kOneRoomRows, key, visit);
        });
        return;
    }
    bool handedOn = false;
    const RoomRowVisitor counted = [&](const room_row_t& row) {
        handedOn = true;
        visit(row);
    };
    // Repeatable read: another daemon taking the room after the holder is
    // read makes the take fail to serialize; run again, it finds the room
    // held and refuses.
    transact({.begin = kRepeatableRead, .handedOn = &handedOn}, [&](PgConnection& conn) {
        std::optional<daemon_address_t> holder = holderOf(conn, roomId, tenantId);
        if (!holder) return;
        if (holder->known() && *holder != daemon)
            throw RequestError(WAS_CONFLICT, "room held by another daemon");
        if (!holder->known()) {
            PgParams take;
            take.add(int64_t(roomId)).add(tenantId).add(daemon.ip).add(int64_t(daemon.port));
            conn.run(kTakeRoom, take);
        }
        streamRoomRows(conn, kOneRoomRows, key, counted);
    });
}

std::optional<std::vector<fail_row_t>> PgStore::failedRecipients(uint32_t roomId,
                                                                 const std::string& tenantId,
                                                                 uint32_t msgSeq) {
    std::optional<std::vector<fail_row_t>> rows;
    transact({.repeatable = true}, [&](PgConnection& conn) {
        PgParams p;
        p.add(int64_t(roomId)).add(tenantId).add(int64_t(msgSeq));
        PgResult result = conn.run(kFailedRecipients, p);
        if (result.rows() == 0) return;
        rows.emplace();
        for (int i = 0; i < result.rows(); ++i) {
            if (result.isNull(i, 1)) continue;
            rows->push_back({roomId, msgSeq, u32(result.integer(i, 0)),
                             std::string(result.bytes(i, 1))});
        }
    });
    return rows;
}

std::optional<room_directory_t> PgStore::directory(uint32_t roomId, const std::string& tenantId) {
    std::optional<daemon_address_t> holder;
    transact({.repeatable = true},
             [&](PgConnection& conn) { holder = holderOf(conn, roomId, tenantId); });
    if (!holder) return std::nullopt;
    return room_directory_t{roomId, tenantId, std::move(*holder)};
}

uint64_t PgStore::releaseDaemon(const daemon_address_t& daemon) {
    uint64_t released = 0;
    transact({}, [&](PgConnection& conn) {
        PgParams p;
        p.add(daemon.ip).add(int64_t(daemon.port));
        released = conn.run(kRelease, p).changed();
    });
    return released;
}
