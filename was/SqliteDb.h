#pragma once
// One open SQLite database file with its cache of prepared statements.
// Owned by WasStore's writer or reader pool (or by a one-shot reader such as
// --dump). Not thread-safe: one thread at a time. Errors throw SqliteError.

#include <map>
#include <memory>
#include <string>

#include "was/SqliteStatement.h"

struct sqlite3;

class SqliteDb {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // ReadWrite creates the file when missing and switches it to WAL.
    SqliteDb(const std::string& path, Mode mode);
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;
    ~SqliteDb();

    void exec(const char* sql);
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int changes() const;
    // False once SQLite has ended a transaction on its own, as it may after
    // an I/O error, a full disk or a failed COMMIT.
    bool inTransaction() const;
    // For calls this wrapper does not cover, such as a test's commit hook.
    sqlite3* handle() const { return m_db; }

    // A cached statement, rewound when the Query ends, so no statement keeps
    // a read snapshot open between requests.
    class Query {
    public:
        explicit Query(SqliteStatement& statement) : m_statement(statement) {}
        Query(const Query&) = delete;
        Query& operator=(const Query&) = delete;
        ~Query() { m_statement.reset(); }
        SqliteStatement* operator->() { return &m_statement; }

    private:
        SqliteStatement& m_statement;
    };
    Query query(const char* sql);

private:
    sqlite3* m_db = nullptr;
    std::map<std::string, std::unique_ptr<SqliteStatement>> m_statements;
};

// BEGIN on construction, ROLLBACK on destruction unless commit() ran: the
// writes inside land whole or not at all. Write takes the write lock at once
// (BEGIN IMMEDIATE); Read only pins one snapshot for several queries and
// works on a read-only connection.
class SqliteTransaction {
public:
    enum class Lock { Write, Read };

    explicit SqliteTransaction(SqliteDb& db, Lock lock = Lock::Write);
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    ~SqliteTransaction();

    void commit();

private:
    SqliteDb& m_db;
    bool m_done = false;
};
