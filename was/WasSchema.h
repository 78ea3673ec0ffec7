#pragma once
// The tables of a WAS database, shared by the store and by the tools that
// write a database for it (the seeder), so both always agree on one layout.

class SqliteDb;

// Creates the tables that are missing; existing ones are left as they are.
// Runs inside the caller's transaction, if any.
void createWasSchema(SqliteDb& db);
