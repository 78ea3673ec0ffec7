#include "poller/Poller_epoll.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

Poller_epoll::~Poller_epoll() {
    closeEpoll();
}

int Poller_epoll::init() {
    m_rfds = 0;
    try {
        m_clivents.assign(kInitialEntries, clivent{});
        m_eventPool.assign(kPoolSize, epoll_event{});
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    closeEpoll();
    m_epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epfd < 0) {
        std::perror("epoll_create error");
        return 1;
    }
    std::fprintf(stderr, "Poller_epoll::init, epoll's fd=%d\n", m_epfd);
    initBase();
    return 0;
}

void Poller_epoll::closeEpoll() {
    if (m_epfd < 0) return;
    if (::close(m_epfd) != 0)
        std::fprintf(stderr, "close error, %d:%s\n", errno, std::strerror(errno));
    m_epfd = -1;
}

void Poller_epoll::shutdown() {
    std::fprintf(stderr, "Poller_epoll::shutdown\n");
    if (!m_clivents.empty()) {
        std::fprintf(stderr, "close epoll's fd=%d\n", m_epfd);
        closeEpoll();
        std::vector<clivent>().swap(m_clivents);
        std::vector<epoll_event>().swap(m_eventPool);
    }
    m_rfds = 0;
    Poller::shutdown();
}

bool Poller_epoll::isRegistered(int fd) const {
    return fd >= 0 && fd < static_cast<int>(m_clivents.size()) && m_clivents[fd].client != nullptr;
}

int Poller_epoll::add(int fd, Client* client, short events) {
    if (fd < 0) return EINVAL;
    if (isRegistered(fd)) return EINVAL;
    const size_t old = m_clivents.size();
    if (static_cast<size_t>(fd) >= old) {
        try {
            m_clivents.resize(std::max(2 * old, static_cast<size_t>(fd) + 1));
        } catch (const std::bad_alloc&) {
            return ENOMEM;
        }
    }
    m_clivents[fd] = clivent{client, events};

    epoll_event ee{};
    ee.events = static_cast<unsigned short>(events);
    ee.data.fd = fd;
    if (::epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd, &ee) != 0) {
        m_clivents[fd] = clivent{};
        return EINVAL;
    }
    return 0;
}

int Poller_epoll::del(int fd) {
    if (!isRegistered(fd)) return EINVAL;
    epoll_event ee{};
    if (::epoll_ctl(m_epfd, EPOLL_CTL_DEL, fd, &ee) != 0) return EINVAL;
    // Pool entries for fd still pending in this batch are skipped from now on.
    m_clivents[fd] = clivent{};
    return 0;
}

int Poller_epoll::modify(int fd, short events) {
    epoll_event ee{};
    ee.events = static_cast<unsigned short>(events);
    ee.data.fd = fd;
    if (::epoll_ctl(m_epfd, EPOLL_CTL_MOD, fd, &ee) != 0) return EINVAL;
    m_clivents[fd].events = events;
    return 0;
}

int Poller_epoll::setMask(int fd, short events) {
    if (!isRegistered(fd)) return EINVAL;
    return modify(fd, events);
}

int Poller_epoll::orMask(int fd, short events) {
    if (!isRegistered(fd)) return EINVAL;
    return modifyIfChanged(fd, static_cast<short>(m_clivents[fd].events | events));
}

int Poller_epoll::andMask(int fd, short events) {
    if (!isRegistered(fd)) return EINVAL;
    return modifyIfChanged(fd, static_cast<short>(m_clivents[fd].events & events));
}

int Poller_epoll::modifyIfChanged(int fd, short events) {
    // Sessions drop write interest after every send that empties their
    // buffer; the kernel call is wasted when it was never set.
    if (m_clivents[fd].events == events) return 0;
    return modify(fd, events);
}

int Poller_epoll::waitForEvents(int timeoutMs) {
    m_rfds = 0;
    if (m_eventPool.empty()) return EBADF;
    const int n = ::epoll_wait(m_epfd, m_eventPool.data(), kPoolSize, timeoutMs);
    if (n < 0) return errno;
    m_rfds = n;
    return n == 0 ? EAGAIN : 0;
}

int Poller_epoll::getNextEvent(PollEvent* ev) {
    while (m_rfds >= 1) {
        const epoll_event& ready = m_eventPool[--m_rfds];
        const int fd = ready.data.fd;
        if (!isRegistered(fd)) continue;  // deleted earlier in this batch
        ev->fd = fd;
        ev->revents = static_cast<short>(ready.events & 0xFFFF);
        ev->client = m_clivents[fd].client;
        return 0;
    }
    return EAGAIN;
}
