#include "net/UDPListener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "cpputil/SockUtil.h"
#include "cpputil/Trace.h"

UDPListener::UDPListener() {
    m_sai.sin_family = AF_INET;
    m_sai.sin_addr.s_addr = htonl(INADDR_ANY);
}

UDPListener::~UDPListener() {
    free();
}

void UDPListener::set(int buflen, char* buf) {
    m_buflen = std::max(buflen, 0);
    if (buf) {
        m_ownBuf.clear();
        m_buf = buf;
    } else {
        m_ownBuf.assign(static_cast<size_t>(m_buflen) + 1, '\0');
        m_buf = m_ownBuf.data();
    }
}

int UDPListener::fail(int err) {
    closeSocket();
    m_lastError = err;
    return -1;
}

int UDPListener::init() {
    closeSocket();
    if (!m_buf) set(m_buflen, nullptr);
    m_sockfd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_sockfd < 0) {
        TRACE(TRACE_ERROR, "socket error: %d", errno);
        return fail(errno);
    }
    if (::bind(m_sockfd, reinterpret_cast<sockaddr*>(&m_sai), sizeof m_sai) != 0) {
        TRACE(TRACE_ERROR, "bind error: %d", errno);
        return fail(errno);
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(m_sockfd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) m_sai.sin_port = bound.sin_port;
    setNonblocking(m_sockfd);
    if (!g_pPoller) return fail(ENODEV);
    if (int err = g_pPoller->add(m_sockfd, this, Poller::EV_READ); err != 0) return fail(err);
    m_lastError = 0;
    return 0;
}

void UDPListener::closeSocket() {
    if (m_sockfd < 0) return;
    if (g_pPoller) g_pPoller->del(m_sockfd);
    ::close(m_sockfd);
    m_sockfd = -1;
}

void UDPListener::free() {
    closeSocket();
    m_sai = sockaddr_in{};
}

int UDPListener::notifyPollEvent(Poller::PollEvent* ev) {
    if (ev->fd != m_sockfd) return 0;
    if (ev->revents & Poller::EV_READ) {
        receiveOne();
    } else if (ev->revents & (Poller::EV_ERROR | Poller::EV_HANGUP | Poller::EV_INVALID)) {
        TRACE(TRACE_ERROR, "listner error!!! re bind: %d", port());
        closeSocket();
        init();
    }
    return 0;
}

void UDPListener::receiveOne() {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    // One byte stays free for the terminating zero.
    const ssize_t n = ::recvfrom(m_sockfd, m_buf, static_cast<size_t>(m_buflen), 0,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 1) {
        TRACE(TRACE_WARNING, "recvfrom error: %d", errno);
        return;
    }
    m_buf[n] = '\0';
    if (m_peh) m_peh->recvFromEvent(this, m_buf, static_cast<int>(n), &from);
}

int UDPListener::sendto(const void* data, int len) {
    return sendto(data, len, &m_sai);
}

int UDPListener::sendto(const void* data, int len, sockaddr_in* to) {
    if (m_sockfd < 0 || len < 0) return -1;
    return static_cast<int>(::sendto(m_sockfd, data, static_cast<size_t>(len), 0,
                                     reinterpret_cast<const sockaddr*>(to), sizeof *to));
}
