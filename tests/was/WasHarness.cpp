#include "WasHarness.h"

#include <arpa/inet.h>
#include <expat.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>

#include "was/SqliteDb.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

struct xml_state_t {
    std::string element;
    std::vector<std::vector<std::string>>* rows;
};

void onXmlStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    auto* state = static_cast<xml_state_t*>(data);
    if (state->element != name) return;
    std::vector<std::string> values;
    for (int i = 0; attrs[i]; i += 2) values.emplace_back(attrs[i + 1]);
    state->rows->push_back(std::move(values));
}

}  // namespace

std::string daemonEncode(const std::string& bytes) {
    static const char* keep = "!$'()*,-./;_";
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        if (isalnum(c) || (c != 0 && strchr(keep, c))) {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

void Form::name(const std::string& name) {
    if (!m_body.empty()) m_body += '&';
    m_body += name + "=";
}

Form& Form::num(const std::string& field, int64_t value) {
    name(field);
    m_body += std::to_string(value);
    return *this;
}

Form& Form::text(const std::string& field, const std::string& bytes) {
    name(field);
    m_body += daemonEncode(bytes);
    return *this;
}

Form& Form::raw(const std::string& field, const std::string& value) {
    name(field);
    m_body += value;
    return *this;
}

Form saveForm(const save_args_t& a) {
    std::string ids, names, seqs, reads;
    for (const member_args_t& m : a.members) {
        ids += m.id + "\t";
        names += m.name + "\t";
        seqs += std::to_string(m.joinSeq) + ",";
        reads += m.readYn + ",";
    }
    // The daemon sends each list without its last separator.
    for (std::string* list : {&ids, &names, &seqs, &reads})
        if (!list->empty()) list->pop_back();
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
    size_t lineEnd = wire.find("\r\n");
    size_t headEnd = wire.find("\r\n\r\n");
    if (lineEnd == std::string::npos || headEnd == std::string::npos) return reply;
    reply.complete = true;
    reply.statusLine = wire.substr(0, lineEnd);
    reply.headers = wire.substr(lineEnd + 2, headEnd - lineEnd);
    reply.body = wire.substr(headEnd + 4);
    const std::string& b = reply.body;
    if (b.size() < 4 || static_cast<unsigned char>(b[0]) != 0xFE) return reply;
    size_t textLen = static_cast<unsigned char>(b[3]);
    if (b.size() < 4 + textLen) return reply;
    reply.hasHeader = true;
    reply.code = static_cast<int>(static_cast<unsigned char>(b[1]) |
                                       static_cast<unsigned char>(b[2]) << 8);
    reply.errorText = b.substr(4, textLen);
    reply.payload = b.substr(4 + textLen);
    return reply;
}

xml_rows_t xmlRows(const std::string& payload, const std::string& element) {
    xml_rows_t result;
    xml_state_t state{element, &result.rows};
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(parser, onXmlStart, nullptr);
    result.parsed = XML_Parse(parser, payload.data(), static_cast<int>(payload.size()), 1) ==
                    XML_STATUS_OK;
    XML_ParserFree(parser);
    return result;
}

void WasLoopbackTest::SetUp() {
    // A peer that goes away mid-reply must not kill the test binary.
    signal(SIGPIPE, SIG_IGN);
    m_dbPath = m_dir.file("was.db");
}

void WasLoopbackTest::TearDown() {
    stopWas();
}

void WasLoopbackTest::startWas(const was_server_settings_t& settings,
                               const commit_settings_t& commit) {
    m_settings = settings;
    m_commit = commit;
    m_store = std::make_unique<WasStore>(m_dbPath, m_commit);
    m_server = std::make_unique<WasServer>(*m_store, m_settings);
    std::string reason;
    m_port = m_server->bind("127.0.0.1", 0, reason);
    ASSERT_GT(m_port, 0) << reason;
    WasServer* server = m_server.get();
    m_thread = std::thread([server] { server->run(); });
    // stop() only stops a server that is already running.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!m_server->isRunning() && Clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(m_server->isRunning());
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

std::string WasLoopbackTest::exchange(const std::string& wire, bool halfClose) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    FdCloser closer{fd};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::string();
    for (size_t sent = 0; sent < wire.size();) {
        ssize_t n = send(fd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    if (halfClose) shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[8192];
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    return reply;
}

std::string WasLoopbackTest::daemonRequest(const std::string& page, const std::string& body) {
    return "POST " + page +
           " HTTP/1.0\r\nContent-type: application/x-www-form-urlencoded\r\n"
           "Accept-Language: ko\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

was_reply_t WasLoopbackTest::post(const std::string& page, const Form& form) {
    return postBody(page, form.body());
}

was_reply_t WasLoopbackTest::postBody(const std::string& page, const std::string& body) {
    return parseReply(exchange(daemonRequest(page, body)));
}

std::vector<std::vector<std::string>> WasLoopbackTest::sql(const std::string& query) {
    SqliteDb db(m_dbPath, SqliteDb::Mode::ReadOnly);
    std::vector<std::vector<std::string>> rows;
    auto q = db.query(query.c_str());
    while (q->step()) {
        std::vector<std::string> row;
        for (int i = 0; i < q->columnCount(); ++i)
            row.push_back(q->columnIsNull(i) ? "NULL" : q->columnBytes(i));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string WasLoopbackTest::dump() {
    std::ostringstream out;
    m_store->dump(out);
    return out.str();
}
