#include "WasHarness.h"

#include <arpa/inet.h>
#include <expat.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/PgTestServer.h"
#include "support/Process.h"
#include "was/SqliteDb.h"

std::string daemonEncode(const std::string& bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        if (isalnum(c) || (c != 0 && strchr("!$'()*,-./;_", c))) {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

Form saveForm(const save_args_t& a) {
    // The daemon sends each list without its last separator.
    std::string ids, names, seqs, reads;
    for (size_t i = 0; i < a.members.size(); ++i) {
        const member_args_t& m = a.members[i];
        ids += (i ? "\t" : "") + m.id;
        names += (i ? "\t" : "") + m.name;
        seqs += (i ? "," : "") + std::to_string(m.joinSeq);
        reads += (i ? "," : "") + m.readYn;
    }
    Form form;
    form.num("room_id", a.roomId).text("send_user_id", a.senderId);
    form.text("send_user_nick_name", a.senderName).text("msg", a.msg).num("msg_seq", a.msgSeq);
    form.num("msg_type", a.msgType).text("recv_user_list", ids).text("recv_user_nick_nm_list", names);
    form.text("recv_user_join_seq_list", seqs).text("read_yn_list", reads).num("time", a.time);
    form.num("data_size", static_cast<int64_t>(a.msg.size()));
    form.num("member_count", static_cast<int64_t>(a.members.size())).num("trid", a.trid);
    form.num("os_type", a.osType).num("room_type", a.roomType).text("file_name", a.fileName);
    form.num("file_size", a.fileSize).text("file_url", a.fileUrl);
    return form;
}

was_reply_t parseReply(const std::string& wire) {
    was_reply_t reply;
    const size_t lineEnd = wire.find("\r\n");
    const size_t headEnd = wire.find("\r\n\r\n");
    if (headEnd == std::string::npos) return reply;
    reply.statusLine = wire.substr(0, lineEnd);
    reply.body = wire.substr(headEnd + 4);
    const std::string& b = reply.body;
    if (b.size() < 4 || static_cast<unsigned char>(b[0]) != 0xFE) return reply;
    const size_t textLen = static_cast<unsigned char>(b[3]);
    if (b.size() < 4 + textLen) return reply;
    reply.hasHeader = true;
    reply.code = static_cast<unsigned char>(b[1]) | static_cast<unsigned char>(b[2]) << 8;
    reply.errorText = b.substr(4, textLen);
    reply.payload = b.substr(4 + textLen);
    return reply;
}

xml_rows_t xmlRows(const std::string& payload, const std::string& element) {
    struct state_t {
        const std::string& element;
        Rows& rows;
    };
    xml_rows_t result;
    state_t state{element, result.rows};
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char** attrs) {
            auto* s = static_cast<state_t*>(data);
            if (s->element != name) return;
            s->rows.emplace_back();
            for (int i = 0; attrs[i]; i += 2) s->rows.back().emplace_back(attrs[i + 1]);
        },
        nullptr);
    result.parsed = XML_Parse(parser, payload.data(), static_cast<int>(payload.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return result;
}

std::string exchangeWith(int port, const std::string& wire, bool halfClose) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        for (size_t sent = 0; sent < wire.size();) {
            const ssize_t n = send(fd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        if (halfClose) shutdown(fd, SHUT_WR);
        char buf[8192];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (pollfd p{fd, POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply;
}

std::string daemonRequest(const std::string& page, const std::string& body) {
    return "POST " + page + " HTTP/1.0\r\nContent-type: application/x-www-form-urlencoded\r\n"
           "Accept-Language: ko\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

namespace {

Rows sqliteRows(const std::string& path, const std::string& query) {
    SqliteDb db(path, SqliteDb::Mode::ReadOnly);
    Rows rows;
    for (auto q = db.query(query.c_str()); q->step();) {
        rows.emplace_back();
        for (int i = 0; i < q->columnCount(); ++i) rows.back().push_back(q->columnIsNull(i) ? "NULL" : q->columnBytes(i));
    }
    return rows;
}

constexpr Oid kByteaType = 17;  // pg_type.oid of bytea

std::string pgValue(const PGresult* result, int row, int column) {
    const char* text = PQgetvalue(result, row, column);
    if (PQftype(result, column) != kByteaType) return std::string(text, static_cast<size_t>(PQgetlength(result, row, column)));
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&PQfreemem)> bytes(
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &length), &PQfreemem);
    if (!bytes) throw std::runtime_error("cannot decode a bytea value");
    return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

Rows pgRows(const std::string& connection, const std::string& query) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(connection.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), query.c_str()), &PQclear);
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        throw std::runtime_error(query + ": " + PQerrorMessage(conn.get()));
    Rows rows;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        rows.emplace_back();
        for (int c = 0; c < PQnfields(result.get()); ++c)
            rows.back().push_back(PQgetisnull(result.get(), r, c) ? "NULL" : pgValue(result.get(), r, c));
    }
    return rows;
}

}  // namespace

Rows storedRows(const std::string& db, const std::string& query) {
    return isPostgresLocation(db) ? pgRows(db, query) : sqliteRows(db, query);
}

std::string wasEngineName(const ::testing::TestParamInfo<WasEngine>& info) {
    return info.param == WasEngine::Sqlite ? "Sqlite" : "Postgres";
}

void PrintTo(WasEngine engine, std::ostream* out) {
    *out << (engine == WasEngine::Sqlite ? "Sqlite" : "Postgres");
}

void WasLoopbackTest::SetUp() {
    signal(SIGPIPE, SIG_IGN);  // a peer that goes away mid-reply must not kill the test binary
    m_location = m_engine == WasEngine::Sqlite ? m_dir.file("was.db") : PgTestServer::shared().freshDatabase();
}

void WasLoopbackTest::TearDown() {
    stopWas();
    if (m_engine == WasEngine::Postgres && !m_location.empty()) PgTestServer::shared().dropDatabase(m_location);
}

void WasLoopbackTest::startWas(const was_server_settings_t& settings, const commit_settings_t& commit) {
    m_settings = settings;
    m_commit = commit;
    store_settings_t storeSettings;
    storeSettings.commit = m_commit;
    m_store = openWasStore(m_location, storeSettings);
    m_server = std::make_unique<WasServer>(*m_store, m_settings);
    std::string reason;
    m_port = m_server->bind("127.0.0.1", 0, reason);
    ASSERT_GT(m_port, 0) << reason;
    m_thread = std::thread([server = m_server.get()] { server->run(); });
    // stop() only stops a server that is already running.
    ASSERT_TRUE(waitFor([&] { return m_server->isRunning(); }));
}

void WasLoopbackTest::stopWas() {
    if (m_server) m_server->stop();
    if (m_thread.joinable()) m_thread.join();
    m_server.reset();
    m_store.reset();
}

void WasLoopbackTest::restartWas() {
    stopWas();
    startWas(m_settings, m_commit);
}

was_reply_t WasLoopbackTest::markDelivered(uint32_t msgSeq, const std::string& users, const std::string& joinSeqs) {
    return post("/was/updateMsgSend", Form().num("room_id", 17).num("msg_seq", msgSeq).text("tenant_id", "example.com")
                                          .text("userids", users).text("join_seqs", joinSeqs).raw("send_yn", "y"));
}

was_reply_t WasLoopbackTest::endRoom(uint32_t roomId, const std::string& tenant) {
    return post("/was/endRoom", Form().num("room_id", roomId).text("tenant_id", tenant).num("time", 1700001000)
                                    .text("svr_ip", "10.0.0.1").num("svr_port", 7000));
}

was_reply_t WasLoopbackTest::loadRoom(uint32_t roomId, const std::string& tenant) {
    return post("/was/loadRoom", Form().num("room_id", roomId).text("tenant_id", tenant));
}

Rows WasLoopbackTest::failedRecipients(uint32_t msgSeq, int* code) {
    was_reply_t reply = post("/was/sendFailUser",
                             Form().num("room_id", 17).num("msg_num", msgSeq).text("tenant_id", "example.com"));
    if (code) *code = reply.code;
    xml_rows_t rows = xmlRows(reply.payload, "send_fail_info");
    EXPECT_TRUE(rows.parsed) << reply.payload;
    return rows.rows;
}

std::string WasLoopbackTest::dump() {
    std::ostringstream out;
    m_store->dump(out);
    return out.str();
}
