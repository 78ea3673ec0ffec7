#include "poller/Poller_select.h"

#include <cerrno>

namespace {

bool inRange(int fd) {
    return fd >= 0 && fd < Poller_select::kMaxFd;
}

}  // namespace

int Poller_select::init() {
    m_max_fd = -1;
    m_cur_fd = -1;
    m_rbits = 0;
    m_clients.fill(nullptr);
    FD_ZERO(&m_readfds);
    FD_ZERO(&m_writefds);
    FD_ZERO(&m_testrfds);
    FD_ZERO(&m_testwfds);
    initBase();
    return 0;
}

void Poller_select::shutdown() {
    m_max_fd = -1;
    m_cur_fd = -1;
    m_rbits = 0;
    Poller::shutdown();
}

int Poller_select::checkRegistered(int fd) const {
    if (!inRange(fd)) return EINVAL;
    if (m_clients[fd] == nullptr) return EALREADY;
    return 0;
}

int Poller_select::add(int fd, Client* client, short events) {
    if (!inRange(fd)) return EINVAL;
    if (m_clients[fd] != nullptr) return EALREADY;
    if (fd > m_max_fd) m_max_fd = fd;
    m_clients[fd] = client;
    return setMask(fd, events);
}

int Poller_select::del(int fd) {
    const int err = checkRegistered(fd);
    if (err != 0) return err;
    setMask(fd, 0);
    // Drop readiness already collected in this batch.
    FD_CLR(fd, &m_testrfds);
    FD_CLR(fd, &m_testwfds);
    m_clients[fd] = nullptr;
    while (m_max_fd >= 0 && m_clients[m_max_fd] == nullptr) --m_max_fd;
    return 0;
}

int Poller_select::setMask(int fd, short events) {
    const int err = checkRegistered(fd);
    if (err != 0) return err;
    FD_CLR(fd, &m_readfds);
    FD_CLR(fd, &m_writefds);
    if (events & EV_READ) FD_SET(fd, &m_readfds);
    if (events & EV_WRITE) FD_SET(fd, &m_writefds);
    return 0;
}

int Poller_select::orMask(int fd, short events) {
    const int err = checkRegistered(fd);
    if (err != 0) return err;
    if (events & EV_READ) FD_SET(fd, &m_readfds);
    if (events & EV_WRITE) FD_SET(fd, &m_writefds);
    return 0;
}

int Poller_select::andMask(int fd, short events) {
    const int err = checkRegistered(fd);
    if (err != 0) return err;
    if ((events & EV_READ) == 0) FD_CLR(fd, &m_readfds);
    if ((events & EV_WRITE) == 0) FD_CLR(fd, &m_writefds);
    return 0;
}

int Poller_select::waitForEvents(int timeoutMs) {
    timeval tv{};
    timeval* limit = nullptr;
    // select() rejects a negative timeval; treat a negative timeout as
    // "no limit", as poll and epoll do.
    if (timeoutMs >= 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        limit = &tv;
    }
    m_testrfds = m_readfds;
    m_testwfds = m_writefds;
    m_rbits = ::select(m_max_fd + 1, &m_testrfds, &m_testwfds, nullptr, limit);
    if (m_rbits < 0) {
        const int err = errno;
        m_rbits = 0;
        return err;
    }
    m_cur_fd = -1;
    return m_rbits == 0 ? EAGAIN : 0;
}

int Poller_select::getNextEvent(PollEvent* ev) {
    if (m_rbits < 1) return EAGAIN;
    for (int fd = m_cur_fd + 1; fd <= m_max_fd; ++fd) {
        short revents = 0;
        if (FD_ISSET(fd, &m_testrfds)) revents |= EV_READ;
        if (FD_ISSET(fd, &m_testwfds)) revents |= EV_WRITE;
        if (revents == 0) continue;
        m_cur_fd = fd;
        if (revents & EV_READ) --m_rbits;
        if (revents & EV_WRITE) --m_rbits;
        ev->fd = fd;
        ev->revents = revents;
        ev->client = m_clients[fd];
        return 0;
    }
    m_cur_fd = m_max_fd;
    return EAGAIN;
}
