#pragma once
// The operator's view of a WAS database: rooms with their members and
// messages, each message with its recipients' delivery states, then the push
// and invite outboxes. Reads only; the caller serialises access to db.

#include <iosfwd>

class SqliteDb;

void dumpDatabase(SqliteDb& db, std::ostream& out);
