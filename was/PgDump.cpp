// The --dump view of the PostgreSQL store: the same lines as for SQLite,
// read in one snapshot, every table streamed row by row.
#include <ostream>

#include "was/PgSchema.h"
#include "was/PgStore.h"
#include "was/WasDump.h"

namespace {

// Rooms, their members, their messages and each message's recipients in
// one ordered stream, so that one connection can read them all in the
// order the dump prints them: part 0 a room, 1 a member, 2 a message (sub
// 0) or one of its recipients (sub 1). Like the SQLite dump, which walks
// down from the rooms, rows without their room or message are not shown.
const pg_statement_t kRoomTree = {"dump_room_tree", R"sql(
SELECT 0 AS part, r.room_id, r.tenant_id, 0::bigint AS seq, 0 AS sub, NULL::bytea AS who,
    NULL::bytea AS name, r.room_type AS n1, r.max_msg_seq AS n2, r.last_activity AS n3,
    r.ended AS n4, r.ended_at AS n5, NULL::bytea AS b1, NULL::bytea AS b2, NULL::bytea AS b3
FROM rooms r
UNION ALL
SELECT 1, m.room_id, m.tenant_id, 0, 0, m.user_id, m.name, m.join_seq, m.has_left, m.left_at,
    m.left_all_history, NULL, NULL, NULL, NULL
FROM members m
WHERE EXISTS (SELECT 1 FROM rooms r WHERE r.room_id = m.room_id AND r.tenant_id = m.tenant_id)
UNION ALL
SELECT 2, g.room_id, g.tenant_id, g.msg_seq, 0, g.sender_id, g.sender_name, g.msg_type,
    g.msg_time, g.sender_os_type, g.trid, g.file_size, g.body, g.file_name, g.file_url
FROM messages g
WHERE EXISTS (SELECT 1 FROM rooms r WHERE r.room_id = g.room_id AND r.tenant_id = g.tenant_id)
UNION ALL
SELECT 2, c.room_id, c.tenant_id, c.msg_seq, 1, c.user_id, c.read_yn, c.join_seq, c.delivered,
    NULL, NULL, NULL, NULL, NULL, NULL
FROM recipients c
WHERE EXISTS (SELECT 1 FROM messages g JOIN rooms r
                  ON r.room_id = g.room_id AND r.tenant_id = g.tenant_id
              WHERE g.room_id = c.room_id AND g.tenant_id = c.tenant_id
                  AND g.msg_seq = c.msg_seq)
ORDER BY room_id, tenant_id, part, seq, sub, who)sql"};

const pg_statement_t kPushes = {
    "dump_pushes",
    "SELECT id, room_id, msg_seq, recipient, sender_id, preview, conn, recorded_at "
    "FROM push_outbox ORDER BY id"};
const pg_statement_t kInvites = {
    "dump_invites",
    "SELECT id, from_id, to_id, target_ids, contents, recorded_at FROM invite_outbox ORDER BY id"};
const pg_statement_t kNoDevice = {"dump_no_device",
                                  "SELECT user_id FROM no_device ORDER BY user_id"};

std::string text(const PgResult& r, int column) {
    return std::string(r.bytes(0, column));
}

void printTreeRow(DumpText& out, const PgResult& r) {
    const int64_t part = r.integer(0, 0);
    if (part == 0) {
        out.room({r.integer(0, 1), text(r, 2), r.integer(0, 7), r.integer(0, 8),
                  r.optionalInteger(0, 9), r.integer(0, 10) != 0, r.optionalInteger(0, 11)});
    } else if (part == 1) {
        out.member({text(r, 5), text(r, 6), r.integer(0, 7), r.integer(0, 8) != 0,
                    r.optionalInteger(0, 9), r.integer(0, 10) != 0});
    } else if (r.integer(0, 4) == 0) {
        out.message({r.integer(0, 3), r.integer(0, 7), r.optionalInteger(0, 8), text(r, 5),
                     text(r, 6), r.integer(0, 9), r.integer(0, 10), text(r, 12), text(r, 13),
                     r.integer(0, 11), text(r, 14)});
    } else {
        std::optional<std::string> readYn;
        if (!r.isNull(0, 6)) readYn = text(r, 6);
        out.recipient({text(r, 5), r.optionalInteger(0, 7), readYn, r.integer(0, 8) != 0});
    }
}

void dumpWith(PgConnection& conn, std::ostream& stream) {
    DumpText out(stream);
    PgTransaction tx(conn, PgStore::kReadOnlySnapshot);
    conn.stream(kRoomTree, PgParams(), [&](const PgResult& r) { printTreeRow(out, r); });
    conn.stream(kPushes, PgParams(), [&](const PgResult& r) {
        out.push({r.integer(0, 0), r.integer(0, 1), r.integer(0, 2), text(r, 3), text(r, 4),
                  text(r, 5), text(r, 6), r.optionalInteger(0, 7)});
    });
    conn.stream(kInvites, PgParams(), [&](const PgResult& r) {
        out.invite({r.integer(0, 0), text(r, 1), text(r, 2), text(r, 3), text(r, 4),
                    r.optionalInteger(0, 5)});
    });
    conn.stream(kNoDevice, PgParams(), [&](const PgResult& r) { out.noDevice(r.bytes(0, 0)); });
    tx.commit();
}

}  // namespace

void PgStore::dump(std::ostream& out) {
    PgPool::Lease conn = m_pool.lend();
    dumpWith(*conn, out);
}

void dumpPgDatabase(const std::string& location, std::ostream& out) {
    PgConnection conn(location);
    const int64_t version = pgSchemaVersion(conn);
    if (version != kPgSchemaVersion)
        throw PgError(version == 0 ? "no tolvex-was tables in this database"
                                   : "database schema version " + std::to_string(version) +
                                         ", this program reads " +
                                         std::to_string(kPgSchemaVersion),
                      "");
    dumpWith(conn, out);
}
