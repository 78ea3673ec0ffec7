#pragma once
// Poller over poll(2): a dense pollfd array (swap-with-last removal) with a
// descriptor -> index map; both grow by doubling. Created by createPoller()
// and owned by the App; event-loop thread only.

#include <poll.h>

#include <vector>

#include "poller/Poller.h"

class Poller_poll : public Poller {
public:
    static constexpr int kInitialEntries = 16;

    Poller_poll() = default;

    // ENOMEM when the tables cannot be allocated.
    int init() override;
    void shutdown() override;
    // EINVAL for a negative descriptor, ENOMEM when the tables cannot grow.
    // A descriptor added twice gets two entries.
    int add(int fd, Client* client, short events) override;
    // EINVAL outside the map, ENOENT when not registered.
    int del(int fd) override;
    // The three mask operations: EINVAL for a negative descriptor, ENOENT
    // when it is not registered.
    int setMask(int fd, short events) override;
    int orMask(int fd, short events) override;
    int andMask(int fd, short events) override;
    int waitForEvents(int timeoutMs) override;
    int getNextEvent(PollEvent* ev) override;

protected:
    int pendingInBatch() const override { return m_rfds; }

private:
    // Index of fd's entry in m_pfds, or -1.
    int indexOf(int fd) const;
    // 0 after growing the map to hold fd, or ENOMEM.
    int growMap(int fd);

    int m_fd2client_used = 0;        // one past the highest registered descriptor
    std::vector<int> m_fd2pfdnum;    // descriptor -> index in m_pfds, -1 for none
    std::vector<pollfd> m_pfds;      // dense, m_pfds.size() entries in use
    std::vector<Client*> m_clients;  // parallel to m_pfds
    int m_rfds = 0;                  // ready entries left in the current batch
    int m_cur_pfdnum = -1;           // scan position; entries at or above it are visited
};
