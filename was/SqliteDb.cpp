#include "was/SqliteDb.h"

#include <sqlite3.h>

namespace {

constexpr int kBusyTimeoutMs = 5000;

}  // namespace

SqliteDb::SqliteDb(const std::string& path, Mode mode) {
    int flags = SQLITE_OPEN_NOMUTEX;
    flags |= mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        sqlite3_close(m_db);
        m_db = nullptr;
        throw SqliteError("cannot open " + path + ": " + text);
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    if (mode == Mode::ReadWrite) {
        exec("PRAGMA journal_mode=WAL");
        // The daemon never saves a message twice, so a commit must survive
        // a power cut once the reply has gone out.
        exec("PRAGMA synchronous=FULL");
    }
}

SqliteDb::~SqliteDb() {
    m_statements.clear();  // statements first: close fails while any is open
    sqlite3_close(m_db);
}

void SqliteDb::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw SqliteError("sqlite exec: " + text);
    }
}

int SqliteDb::changes() const {
    return sqlite3_changes(m_db);
}

bool SqliteDb::inTransaction() const {
    return sqlite3_get_autocommit(m_db) == 0;
}

SqliteDb::Query SqliteDb::query(const char* sql) {
    auto& slot = m_statements[sql];
    if (!slot) slot = std::make_unique<SqliteStatement>(m_db, sql);
    return Query(*slot);
}

SqliteTransaction::SqliteTransaction(SqliteDb& db, Lock lock) : m_db(db) {
    m_db.exec(lock == Lock::Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

SqliteTransaction::~SqliteTransaction() {
    if (m_done) return;
    try {
        m_db.exec("ROLLBACK");
    } catch (const SqliteError&) {
        // A failed COMMIT may already have rolled back; nothing is left to undo.
    }
}

void SqliteTransaction::commit() {
    m_db.exec("COMMIT");
    m_done = true;
}
