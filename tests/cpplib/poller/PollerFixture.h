#pragma once
// Test helpers for the pollers: owned descriptor pairs, a client that
// records what it is handed, and a fixture that drives one poller with a
// deadline.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "poller/Poller.h"

namespace pollertest {

// Two connected non-blocking descriptors, closed with the pair: a pipe, or
// a stream socket pair (then both ends read and write).
class FdPair {
public:
    explicit FdPair(bool sockets = false) {
        if (sockets) {
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_fds);
        } else {
            ::pipe2(m_fds, O_NONBLOCK | O_CLOEXEC);
        }
    }
    FdPair(const FdPair&) = delete;
    FdPair& operator=(const FdPair&) = delete;
    ~FdPair() {
        for (int fd : m_fds)
            if (fd >= 0) ::close(fd);
    }
    int readEnd() const { return m_fds[0]; }
    int writeEnd() const { return m_fds[1]; }
    bool makeReadable() const { return ::write(writeEnd(), "x", 1) == 1; }
    void hangUp() {
        ::close(m_fds[1]);
        m_fds[1] = -1;
    }

private:
    int m_fds[2] = {-1, -1};
};

// Remembers every event it is handed; onEvent, when set, decides the result.
class RecordingClient : public Poller::Client {
public:
    int notifyPollEvent(Poller::PollEvent* ev) override {
        events.push_back(*ev);
        return onEvent ? onEvent(*ev) : 0;
    }
    size_t count() const { return events.size(); }

    std::vector<Poller::PollEvent> events;
    std::function<int(const Poller::PollEvent&)> onEvent;
};

// Creates and initialises the poller named in the constructor.
class PollerFixture {
public:
    explicit PollerFixture(const char* name) : m_poller(createPoller(name)) {
        if (m_poller && m_poller->init() != 0) m_poller.reset();
    }
    ~PollerFixture() {
        if (m_poller) m_poller->shutdown();
    }

    bool ready() const { return m_poller != nullptr; }
    Poller& poller() { return *m_poller; }

    FdPair& newPair(bool sockets = false) {
        m_pairs.push_back(std::make_unique<FdPair>(sockets));
        EXPECT_GE(m_pairs.back()->readEnd(), 0);
        return *m_pairs.back();
    }

    // A client registered on fd with events.
    RecordingClient& watch(int fd, short events) {
        m_clients.push_back(std::make_unique<RecordingClient>());
        EXPECT_EQ(0, poller().add(fd, m_clients.back().get(), events));
        return *m_clients.back();
    }

    // A readable pipe registered for reading with its own client.
    std::pair<FdPair*, RecordingClient*> readyReader() {
        FdPair& p = newPair();
        RecordingClient& c = watch(p.readEnd(), Poller::EV_READ);
        EXPECT_TRUE(p.makeReadable());
        return {&p, &c};
    }

    // Drives the poller in short waits until done() holds; false after 3 s
    // or on a failed wait.
    bool runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            const int err = poller().waitAndDispatchEvents(20);
            if (err != 0 && err != EAGAIN) return false;
        }
        return true;
    }

    // One dispatch of everything that is ready now (waits up to 1 s for it).
    int dispatchReady() { return poller().waitAndDispatchEvents(1000); }
    // One short wait that is expected to find nothing.
    int idleWait() { return poller().waitAndDispatchEvents(10); }

private:
    std::unique_ptr<Poller> m_poller;
    std::vector<std::unique_ptr<FdPair>> m_pairs;
    std::vector<std::unique_ptr<RecordingClient>> m_clients;
};

}  // namespace pollertest
