#include "client/ChatClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "p2p/Encrypt.h"

namespace client {

namespace {

int msUntil(ChatClient::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ChatClient::Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

int resolve(const std::string& host, int port, sockaddr_in* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return EHOSTUNREACH;
    std::memcpy(out, found->ai_addr, sizeof *out);
    freeaddrinfo(found);
    return 0;
}


}  // namespace

ChatClient::~ChatClient() {
    close();
}

int ChatClient::connect(const std::string& host, int port, std::chrono::milliseconds within) {
    close();
    sockaddr_in addr{};
    if (int err = resolve(host, port, &addr); err != 0) return err;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    int err = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        err = errno == EINPROGRESS ? finishConnect(fd, Clock::now() + within) : errno;
    }
    if (err != 0) {
        ::close(fd);
        return err;
    }
    // Requests are small and each one matters on its own.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_fd = fd;
    m_reader = FrameReader();
    m_pending.clear();
    m_pongs = 0;
    m_closed = false;
    m_protocolError = false;
    m_closeReason.clear();
    return 0;
}

int ChatClient::connectTls(const std::string& host, int port, TlsLink::options_t tls,
                           std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    if (int err = connect(host, port, within); err != 0) return err;
    if (tls.hostName.empty()) tls.hostName = host;
    m_tls = TlsLink::open(m_fd, tls, deadline, &m_tlsError);
    if (m_tls) return 0;
    close();
    return EPROTO;
}

void ChatClient::close() {
    m_tls.reset();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool ChatClient::send(uint16_t code, std::string_view body) {
    packet_options_t opts;
    opts.etype = m_options.etype;
    opts.trid = ++m_trid;
    return sendRaw(encodePacket(code, body, opts));
}

bool ChatClient::sendRaw(std::string_view bytes) {
    if (m_fd < 0) return false;
    size_t sent = 0;
    // The socket is non-blocking: wait for room rather than spin. A daemon
    // that stops reading for long is a failure the caller sees as false.
    const auto deadline = Clock::now() + kDefaultWait;
    while (sent < bytes.size()) {
        const ssize_t n = writeOnce(bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A TLS write may need to read first.
            pollfd pfd{m_fd, static_cast<short>(m_tls && !m_tls->wantsWrite() ? POLLIN : POLLOUT), 0};
            if (::poll(&pfd, 1, msUntil(deadline)) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

std::optional<Packet> ChatClient::receive(Clock::time_point deadline) {
    while (m_pending.empty()) {
        if (m_closed || m_fd < 0 || !readSome(deadline)) {
            if (m_pending.empty()) return std::nullopt;
        }
    }
    Packet p = std::move(m_pending.front());
    m_pending.pop_front();
    return p;
}

std::optional<Packet> ChatClient::receive(std::chrono::milliseconds within) {
    return receive(Clock::now() + within);
}

std::optional<Packet> ChatClient::waitFor(uint16_t code, Clock::time_point deadline) {
    size_t scanned = 0;
    for (;;) {
        for (; scanned < m_pending.size(); ++scanned) {
            if (m_pending[scanned].code != code) continue;
            Packet p = std::move(m_pending[scanned]);
            m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(scanned));
            return p;
        }
        if (m_closed || m_fd < 0 || !readSome(deadline)) {
            if (scanned == m_pending.size()) return std::nullopt;
        }
    }
}

std::optional<Packet> ChatClient::waitFor(uint16_t code, std::chrono::milliseconds within) {
    return waitFor(code, Clock::now() + within);
}

bool ChatClient::ping(std::chrono::milliseconds within) {
    const int target = m_pongs + 1;
    const char byte = static_cast<char>(kPing);
    if (!sendRaw(std::string_view(&byte, 1))) return false;
    const auto deadline = Clock::now() + within;
    while (m_pongs < target) {
        if (m_closed || !readSome(deadline)) return m_pongs >= target;
    }
    return true;
}

bool ChatClient::waitClosed(std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (!m_closed) {
        if (m_fd < 0 || !readSome(deadline)) return m_closed;
    }
    return true;
}

ssize_t ChatClient::readOnce(char* buf, size_t len) {
    if (!m_tls) return ::recv(m_fd, buf, len, MSG_DONTWAIT);
    const ssize_t n = m_tls->read(buf, len);
    if (n < 0 && errno != EAGAIN && !m_tls->error().empty()) errno = EPROTO;
    return n;
}

ssize_t ChatClient::writeOnce(const char* data, size_t len) {
    if (!m_tls) return ::send(m_fd, data, len, MSG_NOSIGNAL);
    return m_tls->write(data, len);
}

bool ChatClient::readSome(Clock::time_point deadline) {
    // Bytes TLS already decrypted would never show up in a poll.
    if (!m_tls || !m_tls->hasPending()) {
        pollfd pfd{m_fd, POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&pfd, 1, msUntil(deadline));
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0) return false;
    }

    char buf[16384];
    const ssize_t n = readOnce(buf, sizeof buf);
    if (n == 0) {
        markClosed("closed by peer");
        return true;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        markClosed(m_tls && !m_tls->error().empty() ? m_tls->error() : std::strerror(errno));
        return true;
    }
    m_reader.feed(buf, static_cast<size_t>(n));
    drainFrames();
    return true;
}

void ChatClient::drainFrames() {
    Packet p;
    for (;;) {
        switch (m_reader.next(&p)) {
            case FrameReader::Event::kNone:
                return;
            case FrameReader::Event::kPacket:
                decryptBody(&p);
                m_pending.push_back(std::move(p));
                break;
            case FrameReader::Event::kPong:
                ++m_pongs;
                break;
            case FrameReader::Event::kPing: {
                const char pong = static_cast<char>(kPong);
                sendRaw(std::string_view(&pong, 1));
                break;
            }
            case FrameReader::Event::kError:
                m_protocolError = !m_closed;
                markClosed(m_reader.error());
                return;
        }
    }
}

void ChatClient::decryptBody(Packet* p) const {
    if (!m_options.decryptReplies || p->etype != ETYPE_AES || p->wireBody.empty()) return;
    std::vector<char> plain(p->wireBody.size());
    int len = 0;
    const char* out = P2P_Decrypt(p->etype, p->wireBody.data(), static_cast<int>(p->wireBody.size()), plain.data(),
                                  static_cast<int>(plain.size()), &len);
    // An undecryptable body stays as it came; decrypted tells the caller.
    if (!out || len < 0) return;
    p->body.assign(out, static_cast<size_t>(len));
    p->decrypted = true;
}

void ChatClient::markClosed(std::string reason) {
    if (m_closed) return;
    m_closed = true;
    m_closeReason = std::move(reason);
}

int finishConnect(int fd, ChatClient::Clock::time_point deadline) {
    pollfd pfd{fd, POLLOUT, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, msUntil(deadline));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return ETIMEDOUT;
    if (rc < 0) return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

}  // namespace client
