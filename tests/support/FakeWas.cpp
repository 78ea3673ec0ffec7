#include "support/FakeWas.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return std::string(s);
}

// "%XX" becomes that byte (zero included); every other byte, "+" too, stays
// as it is, so a byte the sender forgot to encode shows up as sent.
std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

FakeWas::fields_t parseForm(std::string_view body) {
    FakeWas::fields_t fields;
    while (!body.empty()) {
        const size_t amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        const size_t eq = pair.find('=');
        if (!pair.empty()) {
            fields.emplace_back(percentDecode(pair.substr(0, eq)),
                                eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1)));
        }
        if (amp == std::string_view::npos) break;
        body.remove_prefix(amp + 1);
    }
    return fields;
}

}  // namespace

struct FakeWas::Connection {
    int fd = -1;
    std::string in;
    bool headDone = false;
    bool silent = false;  // request read, deliberately never answered
    bool held = false;    // request read, answered at release()
    size_t bodyAt = 0;
    size_t contentLength = 0;
    Request request;

    ~Connection() {
        if (fd >= 0) ::close(fd);
    }
};

std::string FakeWas::Request::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    return "";
}

std::string FakeWas::Request::field(const std::string& name) const {
    for (const auto& [key, value] : form)
        if (key == name) return value;
    return "";
}

bool FakeWas::Request::hasField(const std::string& name) const {
    return std::any_of(form.begin(), form.end(), [&](const auto& kv) { return kv.first == name; });
}

FakeWas::FakeWas() {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) throw std::runtime_error("FakeWas: socket failed");
    const int one = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(m_listenFd, 64) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::pipe2(m_wakePipe, O_CLOEXEC) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("FakeWas: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(sa.sin_port);
    m_thread = std::thread([this] { run(); });
}

FakeWas::~FakeWas() {
    m_stopping = true;
    // One byte cannot fill the pipe, so the write cannot fail.
    [[maybe_unused]] const ssize_t woken = ::write(m_wakePipe[1], "x", 1);
    if (m_thread.joinable()) m_thread.join();
    ::close(m_listenFd);
    ::close(m_wakePipe[0]);
    ::close(m_wakePipe[1]);
}

std::string FakeWas::address() const {
    return "127.0.0.1:" + std::to_string(m_port);
}

void FakeWas::setReply(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[path] = std::move(reply);
}

void FakeWas::hold(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[path].held = true;
}

void FakeWas::release(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_replies[path].held = false;
    }
    // Wakes the server thread, which answers what it holds.
    [[maybe_unused]] const ssize_t woken = ::write(m_wakePipe[1], "r", 1);
}

void FakeWas::neverAnswer(const std::string& path) {
    Reply silent;
    silent.answer = false;
    setReply(path, silent);
}

std::vector<FakeWas::Request> FakeWas::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<FakeWas::Request> FakeWas::requestsTo(const std::string& path) const {
    std::vector<Request> out = requests();
    out.erase(std::remove_if(out.begin(), out.end(), [&](const Request& r) { return r.path != path; }), out.end());
    return out;
}

size_t FakeWas::requestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

bool FakeWas::waitForRequests(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_requests.size() >= count; });
}

std::string FakeWas::resultHeader(uint16_t code, const std::string& errorText) {
    const size_t len = std::min<size_t>(errorText.size(), 254);
    return std::string{static_cast<char>(0xFE), static_cast<char>(code & 0xFF), static_cast<char>(code >> 8),
                       static_cast<char>(len)} +
           errorText.substr(0, len);
}

void FakeWas::run() {
    std::vector<std::unique_ptr<Connection>> conns;
    for (;;) {
        std::vector<pollfd> fds = {{m_wakePipe[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        for (const auto& c : conns) fds.push_back({c->fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) {
            if (m_stopping) return;  // the connections close with conns
            char drain[64];
            [[maybe_unused]] const ssize_t n = ::read(m_wakePipe[0], drain, sizeof drain);
            answerReleased(conns);
            continue;
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                conns.push_back(std::move(c));
            }
        }
        // Connections accepted in this pass have no entry in fds yet.
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            if (!readFrom(*conns[i - 2])) conns[i - 2].reset();
        }
        conns.erase(std::remove(conns.begin(), conns.end(), nullptr), conns.end());
    }
}

bool FakeWas::readFrom(Connection& c) {
    char buf[16384];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
    if (c.silent) return true;  // whatever else comes is ignored
    c.in.append(buf, static_cast<size_t>(n));
    if (!c.headDone && !parseHead(c)) return true;
    if (c.in.size() - c.bodyAt < c.contentLength) return true;
    finishRequest(c);
    return c.silent;
}

bool FakeWas::parseHead(Connection& c) {
    // The daemon's HTTP client ends every line with CRLF.
    const size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    c.headDone = true;
    c.bodyAt = end + 4;
    std::istringstream head(c.in.substr(0, end));
    std::string line;
    std::getline(head, line);
    std::istringstream(line) >> c.request.method >> c.request.path >> c.request.version;
    while (std::getline(head, line)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos) c.request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    c.contentLength = std::strtoul(c.request.header("Content-Length").c_str(), nullptr, 10);
    return true;
}

void FakeWas::finishRequest(Connection& c) {
    c.request.body = c.in.substr(c.bodyAt, c.contentLength);
    c.request.form = parseForm(c.request.body);
    const Reply reply = replyFor(c.request.path);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(c.request);
    }
    m_arrived.notify_all();
    if (!reply.answer) {
        c.silent = true;
        return;
    }
    if (reply.held) {
        c.held = c.silent = true;
        return;
    }
    answer(c, reply);
}

void FakeWas::answerReleased(std::vector<std::unique_ptr<Connection>>& conns) {
    for (auto& c : conns) {
        if (!c->held) continue;
        const Reply reply = replyFor(c->request.path);
        if (reply.held) continue;
        answer(*c, reply);
        c.reset();  // HTTP/1.0: the reply ends with the connection
    }
    conns.erase(std::remove(conns.begin(), conns.end(), nullptr), conns.end());
}

void FakeWas::answer(Connection& c, const Reply& reply) {
    // The daemon reads only the status code; the reason phrase is for people.
    std::string bytes = "HTTP/1.0 " + std::to_string(reply.status) + (reply.status == 200 ? " OK" : " Error") +
                        "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                        std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
    writeAll(c.fd, bytes);
}

FakeWas::Reply FakeWas::replyFor(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_replies.find(path);
    return it == m_replies.end() ? m_default : it->second;
}

void FakeWas::writeAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}
