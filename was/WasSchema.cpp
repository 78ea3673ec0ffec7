#include "was/WasSchema.h"

#include <cstdint>
#include <string>

#include "was/SqliteDb.h"

namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS rooms(
    room_id INTEGER NOT NULL,
    tenant_id TEXT NOT NULL,
    room_type INTEGER NOT NULL,
    max_msg_seq INTEGER NOT NULL,
    last_activity INTEGER NOT NULL,
    ended INTEGER NOT NULL DEFAULT 0,
    ended_at INTEGER,
    svr_ip TEXT,
    svr_port INTEGER,
    PRIMARY KEY(room_id, tenant_id));
CREATE TABLE IF NOT EXISTS members(
    room_id INTEGER NOT NULL,
    tenant_id TEXT NOT NULL,
    user_id TEXT NOT NULL,
    name TEXT NOT NULL,
    join_seq INTEGER NOT NULL,
    has_left INTEGER NOT NULL DEFAULT 0,
    left_at INTEGER,
    left_all_history INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY(room_id, tenant_id, user_id));
CREATE TABLE IF NOT EXISTS messages(
    room_id INTEGER NOT NULL,
    tenant_id TEXT NOT NULL,
    msg_seq INTEGER NOT NULL,
    msg_type INTEGER NOT NULL,
    msg_time INTEGER NOT NULL,
    sender_id TEXT NOT NULL,
    sender_name TEXT NOT NULL,
    sender_os_type INTEGER NOT NULL,
    body BLOB NOT NULL,
    file_name BLOB NOT NULL,
    file_size INTEGER NOT NULL,
    file_url BLOB NOT NULL,
    trid INTEGER NOT NULL,
    member_count INTEGER NOT NULL,
    room_type INTEGER NOT NULL,
    PRIMARY KEY(room_id, tenant_id, msg_seq));
CREATE TABLE IF NOT EXISTS recipients(
    room_id INTEGER NOT NULL,
    tenant_id TEXT NOT NULL,
    msg_seq INTEGER NOT NULL,
    user_id TEXT NOT NULL,
    join_seq INTEGER,
    read_yn TEXT,
    delivered INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY(room_id, tenant_id, msg_seq, user_id));
CREATE TABLE IF NOT EXISTS push_outbox(
    id INTEGER PRIMARY KEY,
    room_id INTEGER NOT NULL,
    msg_seq INTEGER NOT NULL,
    msg_type INTEGER NOT NULL,
    msg_time INTEGER NOT NULL,
    recipient TEXT NOT NULL,
    sender_id TEXT NOT NULL,
    sender_name TEXT NOT NULL,
    preview BLOB NOT NULL,
    conn TEXT NOT NULL,
    member_count INTEGER NOT NULL,
    recorded_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS invite_outbox(
    id INTEGER PRIMARY KEY,
    from_id TEXT NOT NULL,
    to_id TEXT NOT NULL,
    target_ids TEXT NOT NULL,
    contents BLOB NOT NULL,
    recorded_at INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS no_device(
    user_id TEXT PRIMARY KEY);
)sql";

constexpr int64_t kSchemaVersion = 2;

// Which daemon holds a room came with version 2. A file of version 1 gains
// the two columns, NULL in every row: each room starts held by none, and
// the first daemon to load it takes it.
const char* const kAddRoomHolder =
    "ALTER TABLE rooms ADD COLUMN svr_ip TEXT; ALTER TABLE rooms ADD COLUMN svr_port INTEGER;";

// A daemon lists its own rooms by id; the holder leads, so that list reads
// one range of the index.
const char* const kHolderIndex =
    "CREATE INDEX IF NOT EXISTS rooms_by_holder ON rooms(svr_ip, svr_port, room_id);";

int64_t userVersion(SqliteDb& db) {
    auto q = db.query("PRAGMA user_version");
    return q->step() ? q->columnInt(0) : 0;
}

bool roomsHaveHolder(SqliteDb& db) {
    auto q = db.query("SELECT 1 FROM pragma_table_info('rooms') WHERE name = 'svr_ip'");
    return q->step();
}

}  // namespace

void createWasSchema(SqliteDb& db) {
    const int64_t version = userVersion(db);
    // A newer program may have changed what the columns mean; writing to its
    // file could corrupt it.
    if (version > kSchemaVersion)
        throw SqliteError("database schema version " + std::to_string(version) +
                          " is newer than this program's " + std::to_string(kSchemaVersion));
    db.exec(kSchema);
    if (!roomsHaveHolder(db)) db.exec(kAddRoomHolder);
    db.exec(kHolderIndex);
    db.exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
}
