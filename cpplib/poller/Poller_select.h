#pragma once
// Poller over select(2): descriptors 0..1023 only, delivered in ascending
// order. Created by createPoller() and owned by the App; event-loop thread
// only.

#include <sys/select.h>

#include <array>

#include "poller/Poller.h"

class Poller_select : public Poller {
public:
    static constexpr int kMaxFd = 1024;

    Poller_select() = default;

    int init() override;
    void shutdown() override;
    // EINVAL outside 0..1023, EALREADY when the descriptor is taken.
    int add(int fd, Client* client, short events) override;
    // EINVAL outside 0..1023, EALREADY when the descriptor is not registered.
    int del(int fd) override;
    int setMask(int fd, short events) override;
    int orMask(int fd, short events) override;
    int andMask(int fd, short events) override;
    // A negative timeout waits without limit.
    int waitForEvents(int timeoutMs) override;
    int getNextEvent(PollEvent* ev) override;

protected:
    int pendingInBatch() const override { return m_rbits; }

private:
    // 0 when fd may be masked, else the errno for it.
    int checkRegistered(int fd) const;

    std::array<Client*, kMaxFd> m_clients{};
    int m_max_fd = -1;
    int m_rbits = 0;   // ready bits left in the current batch
    int m_cur_fd = -1; // scan position within the batch
    fd_set m_readfds{};
    fd_set m_writefds{};
    fd_set m_testrfds{};
    fd_set m_testwfds{};
};
