#include "net/UDSReceiver.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "cpputil/SockUtil.h"
#include "cpputil/Trace.h"

UDSReceiver::~UDSReceiver() {
    free();
}

int UDSReceiver::init() {
    if (m_sockfd < 0 || !g_pPoller) return -1;
    setNonblocking(m_sockfd);
    return g_pPoller->add(m_sockfd, this, Poller::EV_READ) == 0 ? 0 : -1;
}

void UDSReceiver::free() {
    if (m_sockfd >= 0) {
        if (g_pPoller) g_pPoller->del(m_sockfd);
        ::close(m_sockfd);
        m_sockfd = -1;
    }
    m_acceptCount = 10;
}

int UDSReceiver::notifyPollEvent(Poller::PollEvent* ev) {
    if (ev->revents & Poller::EV_READ) {
        if (receiveBatch()) return 0;
    } else if (ev->revents & (Poller::EV_ERROR | Poller::EV_HANGUP | Poller::EV_INVALID)) {
        TRACE(TRACE_ERROR, "listner error!!! re bind: %d", m_sockfd);
    } else {
        return 0;
    }
    // May delete this.
    errorEvent();
    return 0;
}

bool UDSReceiver::receiveBatch() {
    for (int i = 0; i < m_acceptCount; ++i) {
        char byte = 0;
        int fd = -1;
        const int n = read_fd(m_sockfd, &byte, 1, &fd);
        if (n == 0) return false;  // the peer closed
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            TRACE(TRACE_ERROR, "read_fd error");
            return false;
        }
        if (fd < 0) continue;  // a message without a descriptor
        passOn(fd);
    }
    return true;
}

void UDSReceiver::passOn(int fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    // A passed descriptor need not be an IPv4 socket; anything else gets
    // the all-zero address rather than a truncated foreign one.
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET)
        peer = sockaddr_in{};
    TRACE(TRACE_INFO, "received fd=%d, peer port=%d", fd, ntohs(peer.sin_port));
    acceptEvent(fd, &peer);
}

void UDSReceiver::acceptEvent(int fd, sockaddr_in*) {
    ::close(fd);
}

void UDSReceiver::errorEvent() {
    free();
}
