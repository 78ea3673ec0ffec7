#pragma once
// Level-triggered poller over epoll(7): a table indexed by descriptor and a
// pool of 4096 events per wait, delivered from the end. Created by
// createPoller() and owned by the App; event-loop thread only.

#include <sys/epoll.h>

#include <vector>

#include "poller/Poller.h"

class Poller_epoll : public Poller {
public:
    static constexpr int kPoolSize = 4096;
    static constexpr int kInitialEntries = 4096;

    Poller_epoll() = default;
    ~Poller_epoll() override;

    // Non-zero when the epoll instance cannot be created (ENOMEM for tables).
    int init() override;
    void shutdown() override;
    // EINVAL for a negative or already registered descriptor or a kernel
    // refusal; ENOMEM when the table cannot grow.
    int add(int fd, Client* client, short events) override;
    // The rest: EINVAL when not registered or refused by the kernel.
    int del(int fd) override;
    int setMask(int fd, short events) override;
    int orMask(int fd, short events) override;
    int andMask(int fd, short events) override;
    int waitForEvents(int timeoutMs) override;
    int getNextEvent(PollEvent* ev) override;

protected:
    int pendingInBatch() const override { return m_rfds; }

private:
    struct clivent {
        Client* client = nullptr;  // null when the slot is free
        short events = 0;          // current interest mask
    };

    bool isRegistered(int fd) const;
    int modify(int fd, short events);
    // modify() unless the mask is already events.
    int modifyIfChanged(int fd, short events);
    void closeEpoll();

    std::vector<clivent> m_clivents;
    std::vector<epoll_event> m_eventPool;
    int m_epfd = -1;
    int m_rfds = 0;  // events left in the pool for the current batch
};
