#pragma once
// One libpq connection to the PostgreSQL store, with the statements already
// prepared on it. Owned by PgPool (or by a one-shot reader such as --dump)
// and lent to one thread at a time; not thread-safe. Every parameter and
// result travels in binary: integers as bigint, byte strings as bytea, so
// that zero bytes and bytes that are not UTF-8 come back exactly as sent.
// libpq and server errors throw PgError.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct pg_conn;
struct pg_result;

// The server's message, with its SQLSTATE when the server sent one (none
// when the connection itself failed).
class PgError : public std::runtime_error {
public:
    PgError(const std::string& message, std::string sqlState)
        : std::runtime_error(message), m_sqlState(std::move(sqlState)) {}
    const std::string& sqlState() const { return m_sqlState; }
    // A serialization failure or a deadlock: the transaction was rolled back
    // and running it again from the start may succeed.
    bool retryable() const { return m_sqlState == "40001" || m_sqlState == "40P01"; }

private:
    std::string m_sqlState;
};

// A statement prepared under its name on each connection the first time that
// connection runs it. Names are unique across the program.
struct pg_statement_t {
    const char* name;
    const char* sql;
};

// The parameters of one execution, $1 first. Byte strings are referenced,
// not copied: they must outlive the execution, so temporaries are refused.
class PgParams {
public:
    PgParams& add(int64_t value);
    PgParams& add(std::string_view bytes);
    PgParams& add(const std::string& bytes) { return add(std::string_view(bytes)); }
    PgParams& add(std::string&&) = delete;
    PgParams& add(const std::optional<int64_t>& value);
    PgParams& add(const std::optional<std::string>& bytes);
    PgParams& addNullInteger();
    PgParams& addNullBytes();

    int count() const { return static_cast<int>(m_types.size()); }
    const unsigned* types() const { return m_types.data(); }
    const char* const* values() const { return m_values.data(); }
    const int* lengths() const { return m_lengths.data(); }
    const int* formats() const { return m_formats.data(); }

private:
    PgParams& push(unsigned type, const char* value, size_t length);

    std::vector<unsigned> m_types;  // Oids
    std::vector<const char*> m_values;
    std::vector<int> m_lengths;
    std::vector<int> m_formats;
    std::deque<std::string> m_integers;  // big-endian bytes; a deque keeps them in place
};

// The rows of one statement, or one row while streaming. Integers of any
// width and booleans read as int64; NULL reads as 0 or an empty string.
class PgResult {
public:
    explicit PgResult(pg_result* result);
    PgResult(PgResult&&) noexcept = default;
    PgResult& operator=(PgResult&&) noexcept = default;

    int rows() const;
    bool isNull(int row, int column) const;
    // Valid while this result lives.
    std::string_view bytes(int row, int column) const;
    int64_t integer(int row, int column) const;
    std::optional<int64_t> optionalInteger(int row, int column) const;
    // Rows inserted, updated or deleted by the statement.
    uint64_t changed() const;

private:
    struct Clear {
        void operator()(pg_result* result) const;
    };
    std::unique_ptr<pg_result, Clear> m_result;
};

// Statements to send together, in order; see PgConnection::runTogether.
struct pg_batch_entry_t {
    const pg_statement_t* statement;
    PgParams params;
};
// A deque: entries are built in place and never move, since their
// parameters point into their own storage.
using PgBatch = std::deque<pg_batch_entry_t>;

class PgConnection {
public:
    // Connects at once; throws PgError when the server cannot be reached or
    // refuses us.
    explicit PgConnection(const std::string& location);
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;
    ~PgConnection();

    // Runs commands that take no parameters and return no rows.
    void exec(const char* sql);
    // Runs a statement and returns all its rows.
    PgResult run(const pg_statement_t& statement, const PgParams& params);
    // Runs the statements in order, sent in a few pipelines rather than one
    // round trip each; results other than errors are dropped. A batch that
    // opens a transaction closes it. The first error is thrown once the
    // rest has been skipped, and an open transaction rolled back.
    void runTogether(const PgBatch& batch);
    // Runs a statement and hands its rows on one at a time as the server
    // sends them, so that no more than one row is held. When onRow throws,
    // the statement is cancelled and the exception goes on.
    void stream(const pg_statement_t& statement, const PgParams& params,
                const std::function<void(const PgResult& row)>& onRow);

    // False once the server is gone or the connection was left in a state a
    // next caller must not inherit (a transaction still open, rows unread).
    bool usable() const;
    // Connected, whatever the transaction state: a failure on a connection
    // still up is the statement's, not the network's.
    bool connected() const;
    // Makes usable() false, so that the pool closes the connection instead
    // of lending it again (which ends whatever the session still holds).
    void spoil() { m_spoiled = true; }

private:
    void prepare(const pg_statement_t& statement, const PgParams& params);
    [[noreturn]] void fail(pg_result* result, const char* what);
    PgError errorOf(pg_result* result, const char* what) const;
    void runPipeline(const PgBatch& batch, size_t first, size_t end,
                     std::optional<PgError>& error);
    void cancelAndDrain();

    pg_conn* m_conn = nullptr;
    std::unordered_set<std::string> m_prepared;  // statement names prepared here
    bool m_spoiled = false;                       // see usable()
};

// The location as it may be shown in logs: the connection's settings as
// key=value pairs, without the password. A text libpq cannot parse is not
// shown at all, since a password may be anywhere in it.
std::string pgLocationForLog(const std::string& location);

// BEGIN on construction, ROLLBACK on destruction unless commit() ran: the
// writes inside land whole or not at all. begin is the whole BEGIN command,
// which names the isolation level.
class PgTransaction {
public:
    PgTransaction(PgConnection& conn, const char* begin);
    PgTransaction(const PgTransaction&) = delete;
    PgTransaction& operator=(const PgTransaction&) = delete;
    ~PgTransaction();

    void commit();

private:
    PgConnection& m_conn;
    bool m_done = false;
};
