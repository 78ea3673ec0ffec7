#pragma once
// The tables of the PostgreSQL store, created or brought up to date when a
// WAS starts. Any thread that owns the connection.

#include <cstdint>

class PgConnection;

// The schema version this program writes.
constexpr int64_t kPgSchemaVersion = 1;

// Applies the migrations the database lacks, in order, in one transaction
// under an advisory lock, so that WAS processes starting together on one
// database neither race nor apply one twice. Refuses (PgError) a database
// whose version is newer than this program's: its tables may mean other
// things now.
void migratePgSchema(PgConnection& conn);

// The version the database records; 0 when it holds no schema of ours.
int64_t pgSchemaVersion(PgConnection& conn);
