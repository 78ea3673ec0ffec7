#pragma once
// One prepared SQLite statement, owned by the SqliteDb that prepared it and
// finalised with it. Not thread-safe: only the holder of the database's lock
// may use it. Errors throw SqliteError.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

class SqliteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const char* sql);
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    ~SqliteStatement();

    // Parameters count from 1, as in SQLite.
    SqliteStatement& bind(int index, int64_t value);
    SqliteStatement& bindText(int index, std::string_view text);
    SqliteStatement& bindBlob(int index, std::string_view bytes);
    SqliteStatement& bindNull(int index);
    SqliteStatement& bindOptional(int index, const std::optional<int64_t>& value);

    // True while a row is available; false once the statement is done.
    bool step();
    // Runs a statement that returns no rows.
    void run();
    // Clears bindings and rewinds, so the statement can run again and holds
    // no read snapshot meanwhile.
    void reset();

    int columnCount() const;
    int64_t columnInt(int column) const;
    bool columnIsNull(int column) const;
    std::string columnBytes(int column) const;  // text or blob, zero bytes included
    // The same bytes without a copy; valid until the next step() or reset().
    std::string_view columnView(int column) const;

private:
    [[noreturn]] void fail(const char* what) const;

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};
