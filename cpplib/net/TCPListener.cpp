#include "net/TCPListener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "cpputil/SockUtil.h"
#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"

namespace {

constexpr int kBacklog = 1024;

int setIntOption(int fd, int option, int value) {
    return ::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

// Keep-alive finds dead peers; a one-second linger bounds how long a close
// may hold unsent data. Replies and relays are small and must leave at once:
// Nagle's algorithm would hold them until the peer's delayed ACK.
void setConnectionOptions(int fd) {
    setIntOption(fd, SO_KEEPALIVE, 1);
    int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    linger lg{1, 1};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

}  // namespace

TCPListener::TCPListener() {
    m_sai.sin_family = AF_INET;
    m_sai.sin_addr.s_addr = htonl(INADDR_ANY);
}

TCPListener::~TCPListener() {
    free();
}

int TCPListener::fail(int err) {
    closeSocket();
    m_lastError = err;
    return -1;
}

int TCPListener::init() {
    closeSocket();
    m_sockfd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_sockfd < 0) return fail(errno);
    if (setIntOption(m_sockfd, SO_KEEPALIVE, 1) != 0 || setIntOption(m_sockfd, SO_REUSEADDR, 1) != 0) {
        REPORT_ERROR(TRACE_ERROR, "listener: setsockopt failed on port %d: %s", port(), std::strerror(errno));
        return fail(errno);
    }
    linger lg{1, 1};
    ::setsockopt(m_sockfd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    if (::bind(m_sockfd, reinterpret_cast<sockaddr*>(&m_sai), sizeof m_sai) != 0) {
        REPORT_ERROR(TRACE_ERROR, "listener: bind failed on port %d: %s", port(), std::strerror(errno));
        return fail(errno);
    }
    if (::listen(m_sockfd, kBacklog) != 0) return fail(errno);
    // Port 0 asks the kernel for one; remember which, so that a re-open after
    // an error comes back on the same port.
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(m_sockfd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) m_sai.sin_port = bound.sin_port;
    setNonblocking(m_sockfd);
    TRACE(TRACE_INFO, "TCPListener: %d, port=%d", m_sockfd, port());
    if (!g_pPoller) return fail(ENODEV);
    if (int err = g_pPoller->add(m_sockfd, this, Poller::EV_READ); err != 0) return fail(err);
    if (m_spareFd < 0) m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_lastError = 0;
    return 0;
}

void TCPListener::closeSocket() {
    if (m_sockfd < 0) return;
    if (g_pPoller) g_pPoller->del(m_sockfd);
    ::shutdown(m_sockfd, SHUT_RDWR);
    ::close(m_sockfd);
    m_sockfd = -1;
    if (m_spareFd >= 0) ::close(m_spareFd);
    m_spareFd = -1;
}

void TCPListener::free() {
    closeSocket();
    m_acceptCount = 0;
    m_sai = sockaddr_in{};
}

int TCPListener::notifyPollEvent(Poller::PollEvent* ev) {
    if (ev->revents & Poller::EV_READ)
        acceptBatch();
    else if (ev->revents & (Poller::EV_ERROR | Poller::EV_HANGUP | Poller::EV_INVALID))
        reopen();
    // Never ask the poller to drop us: the registry owns this listener.
    return 0;
}

// At most m_acceptCount per event, so a burst of connections cannot starve
// established sessions; the rest wait for the next pass.
void TCPListener::acceptBatch() {
    for (int i = 0; i < m_acceptCount && m_sockfd >= 0; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept(m_sockfd, reinterpret_cast<sockaddr*>(&peer), &len);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) shedOneConnection();
            break;
        }
        setConnectionOptions(fd);
        acceptEvent(fd, &peer);
    }
}

void TCPListener::shedOneConnection() {
    if (m_spareFd < 0) return;
    ::close(m_spareFd);
    const int fd = ::accept(m_sockfd, nullptr, nullptr);
    if (fd >= 0) {
        ::close(fd);
        ++m_shedCount;
        REPORT_ERROR(TRACE_ERROR, "out of descriptors: closed a new connection unserved, port=%d (%ld so far)",
                     port(), m_shedCount);
    }
    m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TCPListener::reopen() {
    REPORT_ERROR(TRACE_ERROR, "listener on port %d failed; binding again", port());
    closeSocket();
    init();
}

void TCPListener::acceptEvent(int fd, sockaddr_in*) {
    ::close(fd);
}
