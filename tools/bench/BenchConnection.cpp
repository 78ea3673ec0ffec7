#include "bench/BenchConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/ChatClient.h"
#include "client/Protocol.h"
#include "client/Replies.h"

namespace bench {

namespace {

int msUntil(BenchConnection::Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - BenchConnection::Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 60000));
}

}  // namespace

BenchConnection::~BenchConnection() {
    m_tls.reset();  // it uses the socket, so it goes first
    if (m_fd >= 0) ::close(m_fd);
}

std::string BenchConnection::connectError(int err) const {
    return err == EPROTO && !m_tlsError.empty() ? "TLS: " + m_tlsError : std::strerror(err);
}

int BenchConnection::startTls(int fd, Clock::time_point deadline) {
    m_tls = client::TlsLink::open(fd, *m_tlsOptions, deadline, &m_tlsError);
    if (m_tls) return 0;
    if (Clock::now() >= deadline) return ETIMEDOUT;
    return EPROTO;
}

int BenchConnection::connect(const std::string& host, int port, Clock::time_point deadline) {
    if (m_fd >= 0) return EISCONN;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return EINVAL;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    int err = 0;
    if (m_receiveBuffer > 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &m_receiveBuffer, sizeof m_receiveBuffer) != 0) {
        err = errno;
        ::close(fd);
        return err;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        err = errno == EINPROGRESS ? client::finishConnect(fd, deadline) : errno;
    // Each message is its own small request; batching would skew latency.
    const int one = 1;
    if (err == 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (err == 0 && m_tlsOptions) err = startTls(fd, deadline);
    if (err != 0) {
        ::close(fd);
        m_timedOut = err == ETIMEDOUT;
        return err;
    }
    m_fd = fd;
    return 0;
}

void BenchConnection::fail(std::string reason) {
    if (m_failed) return;
    m_failed = true;
    m_failReason = std::move(reason);
}

void BenchConnection::queue(std::string_view bytes) {
    if (m_outPos == m_out.size()) {
        m_out.clear();
        m_outPos = 0;
    }
    if (m_out.size() - m_outPos + bytes.size() > kMaxQueuedBytes) {
        fail("output backlog over " + std::to_string(kMaxQueuedBytes) + " bytes");
        return;
    }
    m_out.append(bytes);
}

bool BenchConnection::send(uint16_t code, std::string_view body) {
    if (m_failed || m_fd < 0) return false;
    client::packet_options_t opts;
    opts.trid = ++m_trid;
    queue(client::encodePacket(code, body, opts));
    return flush();
}

bool BenchConnection::sendRaw(std::string_view bytes) {
    if (m_failed || m_fd < 0) return false;
    queue(bytes);
    return flush();
}

bool BenchConnection::flush() {
    if (m_failed || m_fd < 0) return false;
    while (m_outPos < m_out.size()) {
        const ssize_t n = writeSome(m_out.data() + m_outPos, m_out.size() - m_outPos);
        if (n > 0) {
            m_outPos += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        m_sendFailed = true;
        fail(std::string("send: ") + (m_tls && !m_tls->error().empty() ? m_tls->error() : std::strerror(errno)));
        return false;
    }
    // Drop written bytes now and then, so a long run does not grow the buffer.
    if (m_outPos > 65536) {
        m_out.erase(0, m_outPos);
        m_outPos = 0;
    }
    return true;
}

bool BenchConnection::readAvailable() {
    return readRaw([this](const char* data, size_t size) { m_reader.feed(data, size); });
}

bool BenchConnection::readRaw(const std::function<void(const char*, size_t)>& sink) {
    if (m_failed || m_fd < 0) return false;
    char buf[65536];
    for (;;) {
        const ssize_t n = readSome(buf, sizeof buf);
        if (n > 0) {
            sink(buf, static_cast<size_t>(n));
            // A short read drained the socket. TLS hands out one record per
            // read: what the link still holds would wake no poll, what is
            // left in the socket will (and waits its turn behind the others).
            if (m_tls ? !m_tls->hasPending() : static_cast<size_t>(n) < sizeof buf) return true;
            continue;
        }
        if (n == 0) {
            fail("closed by the server");
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        fail(std::string("recv: ") + (m_tls && !m_tls->error().empty() ? m_tls->error() : std::strerror(errno)));
        return false;
    }
}

ssize_t BenchConnection::writeSome(const char* data, size_t size) {
    if (m_tls) return m_tls->write(data, size);
    return ::send(m_fd, data, size, MSG_NOSIGNAL);
}

ssize_t BenchConnection::readSome(char* buf, size_t size) {
    if (m_tls) return m_tls->read(buf, size);
    return ::recv(m_fd, buf, size, MSG_DONTWAIT);
}

void BenchConnection::close(std::string reason) {
    fail(std::move(reason));
    m_tls.reset();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::optional<client::Packet> BenchConnection::nextPacket() {
    client::Packet p;
    for (;;) {
        switch (m_reader.next(&p)) {
            case client::FrameReader::Event::kNone:
                return std::nullopt;
            case client::FrameReader::Event::kPacket:
                return p;
            case client::FrameReader::Event::kPing: {
                const char pong = static_cast<char>(client::kPong);
                queue(std::string_view(&pong, 1));
                flush();
                break;
            }
            case client::FrameReader::Event::kPong:
                break;
            case client::FrameReader::Event::kError:
                fail("framing: " + m_reader.error());
                return std::nullopt;
        }
    }
}

std::optional<client::Packet> BenchConnection::waitFor(uint16_t code, Clock::time_point deadline, std::string* why) {
    for (;;) {
        while (auto p = nextPacket()) {
            if (p->code == code) return p;
            if (auto refused = client::decodeInvalidCommand(*p)) {
                *why = "request " + std::to_string(refused->requestCode) + " refused with 515";
                return std::nullopt;
            }
            if (client::decodeNotReady(*p)) {
                *why = "the daemon is still loading rooms";
                return std::nullopt;
            }
        }
        if (m_failed) {
            *why = m_failReason;
            return std::nullopt;
        }
        if (Clock::now() >= deadline) {
            *why = "no packet " + std::to_string(code) + " in time";
            m_timedOut = true;
            return std::nullopt;
        }
        if (wantsWrite()) flush();
        pollfd pfd{m_fd, static_cast<short>(POLLIN | (wantsWrite() ? POLLOUT : 0)), 0};
        int rc;
        do {
            rc = ::poll(&pfd, 1, msUntil(deadline));
        } while (rc < 0 && errno == EINTR);
        if (rc == 0) {
            *why = "no packet " + std::to_string(code) + " in time";
            m_timedOut = true;
            return std::nullopt;
        }
        if (rc < 0) {
            *why = std::string("poll: ") + std::strerror(errno);
            return std::nullopt;
        }
        readAvailable();
    }
}

}  // namespace bench
