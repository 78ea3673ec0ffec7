#include "was/WasSchema.h"

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
PRAGMA user_version = 1;
)sql";

}  // namespace

void createWasSchema(SqliteDb& db) {
    db.exec(kSchema);
}
