#pragma once
// The tables of a WAS database, shared by the store and by the tools that
// write a database for it (the seeder), so both always agree on one layout.

class SqliteDb;

// Creates the tables that are missing and brings a file of an older version
// up to this one, keeping its rows; refuses (SqliteError) a file written by a
// newer version. Runs inside the caller's transaction, if any.
void createWasSchema(SqliteDb& db);
