#include "poller/Poller_poll.h"

#include <algorithm>
#include <cerrno>
#include <new>

int Poller_poll::init() {
    try {
        m_fd2pfdnum.assign(kInitialEntries, -1);
        m_pfds.clear();
        m_pfds.reserve(kInitialEntries);
        m_clients.clear();
        m_clients.reserve(kInitialEntries);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    m_fd2client_used = 0;
    m_rfds = 0;
    m_cur_pfdnum = -1;
    initBase();
    return 0;
}

void Poller_poll::shutdown() {
    std::vector<int>().swap(m_fd2pfdnum);
    std::vector<pollfd>().swap(m_pfds);
    std::vector<Client*>().swap(m_clients);
    m_fd2client_used = 0;
    m_rfds = 0;
    m_cur_pfdnum = -1;
    Poller::shutdown();
}

int Poller_poll::indexOf(int fd) const {
    if (fd < 0 || fd >= static_cast<int>(m_fd2pfdnum.size())) return -1;
    return m_fd2pfdnum[fd];
}

int Poller_poll::growMap(int fd) {
    const size_t old = m_fd2pfdnum.size();
    if (static_cast<size_t>(fd) < old) return 0;
    try {
        m_fd2pfdnum.resize(std::max(2 * old, static_cast<size_t>(fd) + 1), -1);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

int Poller_poll::add(int fd, Client* client, short events) {
    if (fd < 0) return EINVAL;
    if (const int err = growMap(fd); err != 0) return err;
    // A second entry would outlive the del() of the first and keep calling
    // a client that may be gone.
    if (m_fd2pfdnum[fd] >= 0) return EALREADY;
    try {
        if (m_pfds.size() == m_pfds.capacity()) {
            const size_t doubled = std::max<size_t>(2 * m_pfds.size(), kInitialEntries);
            m_pfds.reserve(doubled);
            m_clients.reserve(doubled);
        }
        // An earlier failure may have grown only one of the pair.
        m_clients.reserve(m_pfds.capacity());
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    m_pfds.push_back(pollfd{fd, events, 0});
    m_clients.push_back(client);
    m_fd2pfdnum[fd] = static_cast<int>(m_pfds.size()) - 1;
    if (fd + 1 > m_fd2client_used) m_fd2client_used = fd + 1;
    return 0;
}

int Poller_poll::del(int fd) {
    if (fd < 0 || fd >= m_fd2client_used) return EINVAL;
    const int idx = m_fd2pfdnum[fd];
    if (idx < 0) return ENOENT;

    const int last = static_cast<int>(m_pfds.size()) - 1;
    if (idx != last) {
        // The last entry has always been visited once the batch has started
        // (delivery runs downward). Landing below the scan position it would
        // come round a second time, so its readiness is spent here.
        m_pfds[idx] = m_pfds[last];
        m_clients[idx] = m_clients[last];
        if (last >= m_cur_pfdnum && idx < m_cur_pfdnum) m_pfds[idx].revents = 0;
        if (m_fd2pfdnum[m_pfds[idx].fd] == last) m_fd2pfdnum[m_pfds[idx].fd] = idx;
    }
    m_pfds.pop_back();
    m_clients.pop_back();
    m_fd2pfdnum[fd] = -1;
    while (m_fd2client_used > 0 && m_fd2pfdnum[m_fd2client_used - 1] == -1) --m_fd2client_used;
    return 0;
}

int Poller_poll::setMask(int fd, short events) {
    if (fd < 0) return EINVAL;
    const int idx = indexOf(fd);
    if (idx < 0) return ENOENT;
    m_pfds[idx].events = events;
    return 0;
}

int Poller_poll::orMask(int fd, short events) {
    if (fd < 0) return EINVAL;
    const int idx = indexOf(fd);
    if (idx < 0) return ENOENT;
    m_pfds[idx].events |= events;
    return 0;
}

int Poller_poll::andMask(int fd, short events) {
    if (fd < 0) return EINVAL;
    const int idx = indexOf(fd);
    if (idx < 0) return ENOENT;
    m_pfds[idx].events &= events;
    return 0;
}

int Poller_poll::waitForEvents(int timeoutMs) {
    m_rfds = ::poll(m_pfds.data(), m_pfds.size(), timeoutMs);
    if (m_rfds < 0) {
        const int err = errno;
        m_cur_pfdnum = -1;
        return err;
    }
    m_cur_pfdnum = static_cast<int>(m_pfds.size());
    return m_rfds == 0 ? EAGAIN : 0;
}

int Poller_poll::getNextEvent(PollEvent* ev) {
    if (m_rfds < 1) return EAGAIN;
    m_cur_pfdnum = std::min(m_cur_pfdnum, static_cast<int>(m_pfds.size()));
    while (--m_cur_pfdnum >= 0) {
        const pollfd& entry = m_pfds[m_cur_pfdnum];
        if (entry.revents == 0) continue;
        ev->fd = entry.fd;
        ev->revents = entry.revents;
        // The entry's own client: a second registration of the same
        // descriptor leaves the map pointing at only one of them.
        ev->client = m_clients[m_cur_pfdnum];
        --m_rfds;
        return 0;
    }
    m_cur_pfdnum = -1;
    return EAGAIN;
}
