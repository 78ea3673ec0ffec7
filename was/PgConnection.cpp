#include "was/PgConnection.h"

#include <endian.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>

namespace {

// Type Oids of the parameters and columns used here (pg_type.dat).
constexpr Oid kBool = 16;
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr int kBinary = 1;

// libpq's messages end in a newline and may hold more lines ("Is the
// server running...?"): made one line, as log lines and reply texts are.
std::string oneLine(const char* text) {
    std::string out;
    for (const char* c = text ? text : ""; *c; ++c) {
        const bool space = *c == '\n' || *c == '\t' || *c == '\r' || *c == ' ';
        if (!space) out += *c;
        else if (!out.empty() && out.back() != ' ') out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// Notices ("relation already exists, skipping") are for an interactive
// user; the WAS logs its own refusals.
void ignoreNotice(void*, const char*) {}

template <typename Int>
Int readBigEndian(const char* bytes) {
    Int value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (sizeof(Int) == 8) return static_cast<Int>(be64toh(static_cast<uint64_t>(value)));
    if constexpr (sizeof(Int) == 4) return static_cast<Int>(be32toh(static_cast<uint32_t>(value)));
    if constexpr (sizeof(Int) == 2) return static_cast<Int>(be16toh(static_cast<uint16_t>(value)));
    return value;
}

}  // namespace

PgParams& PgParams::push(unsigned type, const char* value, size_t length) {
    m_types.push_back(type);
    m_values.push_back(value);
    m_lengths.push_back(static_cast<int>(length));
    m_formats.push_back(kBinary);
    return *this;
}

PgParams& PgParams::add(int64_t value) {
    uint64_t big = htobe64(static_cast<uint64_t>(value));
    m_integers.emplace_back(reinterpret_cast<const char*>(&big), sizeof big);
    return push(kInt8, m_integers.back().data(), sizeof big);
}

PgParams& PgParams::add(std::string_view bytes) {
    // libpq reads a zero-length binary value from its length alone, but a
    // null pointer would be sent as SQL NULL.
    return push(kBytea, bytes.empty() ? "" : bytes.data(), bytes.size());
}

PgParams& PgParams::add(const std::optional<int64_t>& value) {
    return value ? add(*value) : addNullInteger();
}

PgParams& PgParams::add(const std::optional<std::string>& bytes) {
    return bytes ? add(std::string_view(*bytes)) : addNullBytes();
}

PgParams& PgParams::addNullInteger() {
    return push(kInt8, nullptr, 0);
}

PgParams& PgParams::addNullBytes() {
    return push(kBytea, nullptr, 0);
}

void PgResult::Clear::operator()(pg_result* result) const {
    PQclear(result);
}

PgResult::PgResult(pg_result* result) : m_result(result) {}

int PgResult::rows() const {
    return PQntuples(m_result.get());
}

bool PgResult::isNull(int row, int column) const {
    return PQgetisnull(m_result.get(), row, column) != 0;
}

std::string_view PgResult::bytes(int row, int column) const {
    return {PQgetvalue(m_result.get(), row, column),
            static_cast<size_t>(PQgetlength(m_result.get(), row, column))};
}

int64_t PgResult::integer(int row, int column) const {
    if (isNull(row, column)) return 0;
    const char* value = PQgetvalue(m_result.get(), row, column);
    const int length = PQgetlength(m_result.get(), row, column);
    const Oid type = PQftype(m_result.get(), column);
    // The width is checked against the type: a short value would be read
    // past its end.
    if (type == kInt8 && length == 8) return readBigEndian<int64_t>(value);
    if (type == kInt4 && length == 4) return readBigEndian<int32_t>(value);
    if (type == kInt2 && length == 2) return readBigEndian<int16_t>(value);
    if (type == kBool && length == 1) return value[0] != 0;
    throw PgError("column " + std::to_string(column) + " is not an integer", "");
}

std::optional<int64_t> PgResult::optionalInteger(int row, int column) const {
    if (isNull(row, column)) return std::nullopt;
    return integer(row, column);
}

uint64_t PgResult::changed() const {
    const char* count = PQcmdTuples(m_result.get());
    return count && *count ? std::stoull(count) : 0;
}

PgConnection::PgConnection(const std::string& location) : m_conn(PQconnectdb(location.c_str())) {
    if (!m_conn) throw PgError("cannot allocate a PostgreSQL connection", "");
    if (PQstatus(m_conn) != CONNECTION_OK) {
        std::string message = oneLine(PQerrorMessage(m_conn));
        PQfinish(m_conn);
        m_conn = nullptr;
        throw PgError("cannot connect to PostgreSQL: " + message, "");
    }
    PQsetNoticeProcessor(m_conn, ignoreNotice, nullptr);
}

PgConnection::~PgConnection() {
    if (m_conn) PQfinish(m_conn);
}

bool PgConnection::connected() const {
    return PQstatus(m_conn) == CONNECTION_OK;
}

bool PgConnection::usable() const {
    return !m_spoiled && connected() && PQtransactionStatus(m_conn) == PQTRANS_IDLE;
}

PgError PgConnection::errorOf(pg_result* result, const char* what) const {
    std::string message = oneLine(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY)
                                         : nullptr);
    std::string state = oneLine(result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr);
    if (message.empty()) message = oneLine(PQerrorMessage(m_conn));
    if (message.empty()) message = std::string(what) + " failed";
    return PgError(message, state);
}

void PgConnection::fail(pg_result* result, const char* what) {
    PgError error = errorOf(result, what);
    PQclear(result);
    throw error;
}

void PgConnection::exec(const char* sql) {
    pg_result* result = PQexec(m_conn, sql);
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(result, sql);
    PQclear(result);
}

void PgConnection::prepare(const pg_statement_t& statement, const PgParams& params) {
    if (m_prepared.count(statement.name)) return;
    pg_result* result =
        PQprepare(m_conn, statement.name, statement.sql, params.count(), params.types());
    if (PQresultStatus(result) != PGRES_COMMAND_OK) fail(result, statement.name);
    PQclear(result);
    m_prepared.insert(statement.name);
}

PgResult PgConnection::run(const pg_statement_t& statement, const PgParams& params) {
    prepare(statement, params);
    pg_result* result = PQexecPrepared(m_conn, statement.name, params.count(), params.values(),
                                       params.lengths(), params.formats(), kBinary);
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(result, statement.name);
    return PgResult(result);
}

void PgConnection::runTogether(const PgBatch& batch) {
    for (const pg_batch_entry_t& entry : batch) prepare(*entry.statement, entry.params);
    // Bounded pipelines: the replies to a long one would fill the socket
    // while libpq is still writing, and both ends would wait on the other.
    constexpr size_t kPipeline = 256;
    std::optional<PgError> error;
    for (size_t first = 0; first < batch.size() && !error; first += kPipeline)
        runPipeline(batch, first, std::min(batch.size(), first + kPipeline), error);
    if (!error) return;
    if (connected() && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
        try {
            exec("ROLLBACK");
        } catch (const PgError&) {
            m_spoiled = true;
        }
    }
    throw *error;
}

void PgConnection::runPipeline(const PgBatch& batch, size_t first, size_t end,
                               std::optional<PgError>& error) {
    if (!PQenterPipelineMode(m_conn)) fail(nullptr, "pipeline");
    size_t sent = 0;
    for (size_t i = first; i < end; ++i, ++sent) {
        const pg_batch_entry_t& entry = batch[i];
        if (!PQsendQueryPrepared(m_conn, entry.statement->name, entry.params.count(),
                                 entry.params.values(), entry.params.lengths(),
                                 entry.params.formats(), kBinary))
            break;
    }
    bool synced = sent == end - first && PQpipelineSync(m_conn);
    // Each statement gives its result, then a null; after an error the rest
    // report PIPELINE_ABORTED. A connection lost midway gives nulls only.
    for (size_t i = 0; synced && i < sent; ++i) {
        pg_result* result = PQgetResult(m_conn);
        if (!result) {
            synced = false;
            break;
        }
        ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_FATAL_ERROR && !error)
            error = errorOf(result, batch[first + i].statement->name);
        PQclear(result);
        if (pg_result* extra = PQgetResult(m_conn)) {
            PQclear(extra);
            synced = false;
        }
    }
    if (synced) {
        pg_result* sync = PQgetResult(m_conn);
        synced = sync && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
        PQclear(sync);
    }
    if (!synced || !PQexitPipelineMode(m_conn)) {
        // Out of step with the server: no later caller may use this one.
        m_spoiled = true;
        if (!error) error = errorOf(nullptr, "pipeline");
    }
}

void PgConnection::stream(const pg_statement_t& statement, const PgParams& params,
                          const std::function<void(const PgResult& row)>& onRow) {
    prepare(statement, params);
    if (!PQsendQueryPrepared(m_conn, statement.name, params.count(), params.values(),
                             params.lengths(), params.formats(), kBinary))
        fail(nullptr, statement.name);
    if (!PQsetSingleRowMode(m_conn)) {
        // Rows would arrive whole; refuse rather than hold a million of them.
        cancelAndDrain();
        throw PgError("single-row mode refused", "");
    }
    // Every result is read, even after an error, so that the connection is
    // ready for the next command.
    std::optional<PgError> error;
    while (pg_result* result = PQgetResult(m_conn)) {
        ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_SINGLE_TUPLE) {
            PgResult row(result);
            try {
                onRow(row);
            } catch (...) {
                cancelAndDrain();
                throw;
            }
        } else if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
            PQclear(result);
        } else {
            try {
                fail(result, statement.name);
            } catch (const PgError& e) {
                if (!error) error = e;
            }
        }
    }
    if (error) throw *error;
}

void PgConnection::cancelAndDrain() {
    // Cancelling spares reading the rest of a long result; the statement
    // then ends with an error, which the caller's rollback clears.
    if (PGcancel* cancel = PQgetCancel(m_conn)) {
        char reason[256];
        if (!PQcancel(cancel, reason, sizeof reason)) m_spoiled = true;
        PQfreeCancel(cancel);
    } else {
        m_spoiled = true;
    }
    while (pg_result* result = PQgetResult(m_conn)) PQclear(result);
}

std::string pgLocationForLog(const std::string& location) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(location.c_str(), &error);
    if (!options) {
        PQfreemem(error);
        return "(PostgreSQL location not shown: libpq cannot read it)";
    }
    std::string shown;
    for (PQconninfoOption* option = options; option->keyword; ++option) {
        // "*" marks a value libpq itself never displays.
        bool secret = option->dispchar && option->dispchar[0] == '*';
        bool password = std::strcmp(option->keyword, "password") == 0;
        if (!option->val || !*option->val || secret || password) continue;
        if (!shown.empty()) shown += ' ';
        shown += std::string(option->keyword) + "=" + option->val;
    }
    PQconninfoFree(options);
    return shown;
}

PgTransaction::PgTransaction(PgConnection& conn, const char* begin) : m_conn(conn) {
    m_conn.exec(begin);
}

PgTransaction::~PgTransaction() {
    if (m_done || !m_conn.connected()) return;
    try {
        m_conn.exec("ROLLBACK");
    } catch (...) {
        // The connection stays inside the transaction, so the pool closes
        // it rather than lend it again.
    }
}

void PgTransaction::commit() {
    m_done = true;
    m_conn.exec("COMMIT");
}
