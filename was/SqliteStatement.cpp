#include "was/SqliteStatement.h"

#include <sqlite3.h>

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) : m_db(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) fail("prepare");
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(m_stmt);
}

void SqliteStatement::fail(const char* what) const {
    throw SqliteError(std::string("sqlite ") + what + ": " + sqlite3_errmsg(m_db));
}

SqliteStatement& SqliteStatement::bind(int index, int64_t value) {
    if (sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK) fail("bind");
    return *this;
}

SqliteStatement& SqliteStatement::bindText(int index, std::string_view text) {
    // The string outlives the statement's use in every caller, but SQLite
    // copying it keeps that an assumption nobody has to check.
    if (sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8) != SQLITE_OK)
        fail("bind");
    return *this;
}

SqliteStatement& SqliteStatement::bindBlob(int index, std::string_view bytes) {
    // A zero-length blob must not bind as NULL: the column is NOT NULL.
    static const char kEmpty = 0;
    const void* data = bytes.empty() ? &kEmpty : bytes.data();
    if (sqlite3_bind_blob64(m_stmt, index, data, bytes.size(), SQLITE_TRANSIENT) != SQLITE_OK)
        fail("bind");
    return *this;
}

SqliteStatement& SqliteStatement::bindNull(int index) {
    if (sqlite3_bind_null(m_stmt, index) != SQLITE_OK) fail("bind");
    return *this;
}

SqliteStatement& SqliteStatement::bindOptional(int index, const std::optional<int64_t>& value) {
    return value ? bind(index, *value) : bindNull(index);
}

bool SqliteStatement::step() {
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail("step");
}

void SqliteStatement::run() {
    while (step()) {
    }
}

void SqliteStatement::reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

int SqliteStatement::columnCount() const {
    return sqlite3_column_count(m_stmt);
}

int64_t SqliteStatement::columnInt(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

bool SqliteStatement::columnIsNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

std::string SqliteStatement::columnBytes(int column) const {
    return std::string(columnView(column));
}

std::string_view SqliteStatement::columnView(int column) const {
    // Ask for the blob first: for a text column it is the same bytes and
    // avoids a conversion that would stop at a zero byte.
    const void* data = sqlite3_column_blob(m_stmt, column);
    int size = sqlite3_column_bytes(m_stmt, column);
    if (!data || size <= 0) return std::string_view();
    return std::string_view(static_cast<const char*>(data), static_cast<size_t>(size));
}
