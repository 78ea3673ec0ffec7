#include "net/UDPSession.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "cpputil/SockUtil.h"

UDPSession::UDPSession(int bufLen, int recvCount)
    : m_buf(static_cast<size_t>(std::max(bufLen, 0)) + 1, '\0'),
      m_bufLen(std::max(bufLen, 0)),
      m_recvCount(std::max(recvCount, 1)) {}

UDPSession::~UDPSession() {
    if (m_sockfd >= 0) {
        if (g_pPoller) g_pPoller->del(m_sockfd);
        ::close(m_sockfd);
        m_sockfd = -1;
    }
}

int UDPSession::notifyPollEvent(Poller::PollEvent* ev) {
    if (ev->revents & Poller::EV_READ)
        readEvent();
    else if (ev->revents & (Poller::EV_ERROR | Poller::EV_HANGUP | Poller::EV_INVALID))
        errorEvent();
    return 0;
}

void UDPSession::destroy() {
    delete this;
}

void UDPSession::clear() {
    if (m_sockfd >= 0) {
        if (g_pPoller) g_pPoller->del(m_sockfd);
        ::close(m_sockfd);
        m_sockfd = -1;
    }
    m_state = USESSION_NONE;
}

void UDPSession::readEvent() {
    for (int i = 0; i < m_recvCount && m_sockfd >= 0; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(m_sockfd, m_buf.data(), static_cast<size_t>(m_bufLen), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        m_buf[static_cast<size_t>(n)] = '\0';
        recvFromEvent(m_buf.data(), static_cast<int>(n), &from);
    }
}

void UDPSession::recvFromEvent(const char*, int, sockaddr_in*) {}

void UDPSession::errorEvent() {}

int UDPSession::openSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    setNonblocking(fd);
    if (!g_pPoller || g_pPoller->add(fd, this, Poller::EV_READ) != 0) {
        ::close(fd);
        return -1;
    }
    m_sockfd = fd;
    return 0;
}

int UDPSession::sendto(const void* data, int len, int flags, sockaddr_in* to) {
    if (m_sockfd < 0 && openSocket() != 0) return -1;
    if (len < 0) return -1;
    const ssize_t n = ::sendto(m_sockfd, data, static_cast<size_t>(len), flags,
                               reinterpret_cast<const sockaddr*>(to), sizeof *to);
    if (g_pPoller) g_pPoller->orMask(m_sockfd, Poller::EV_READ);
    return static_cast<int>(n);
}
