#pragma once
// Test helpers for the pollers: owned pipes and socket pairs, a client that
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

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// A non-blocking pipe.
class Pipe {
public:
    Pipe() {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            m_read = std::make_unique<Fd>(fds[0]);
            m_write = std::make_unique<Fd>(fds[1]);
        }
    }
    int readEnd() const { return m_read ? m_read->get() : -1; }
    int writeEnd() const { return m_write ? m_write->get() : -1; }
    bool makeReadable() const { return ::write(writeEnd(), "x", 1) == 1; }
    void hangUp() { m_write.reset(); }

private:
    std::unique_ptr<Fd> m_read;
    std::unique_ptr<Fd> m_write;
};

// A connected pair of non-blocking stream sockets.
class SocketPair {
public:
    SocketPair() {
        int sv[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) == 0) {
            m_a = std::make_unique<Fd>(sv[0]);
            m_b = std::make_unique<Fd>(sv[1]);
        }
    }
    int local() const { return m_a ? m_a->get() : -1; }
    int peer() const { return m_b ? m_b->get() : -1; }

private:
    std::unique_ptr<Fd> m_a;
    std::unique_ptr<Fd> m_b;
};

// Remembers every event it is handed; onEvent, when set, decides the result.
class RecordingClient : public Poller::Client {
public:
    int notifyPollEvent(Poller::PollEvent* ev) override {
        m_events.push_back(*ev);
        return onEvent ? onEvent(*ev) : 0;
    }
    const std::vector<Poller::PollEvent>& events() const { return m_events; }
    size_t count() const { return m_events.size(); }

    std::function<int(const Poller::PollEvent&)> onEvent;

private:
    std::vector<Poller::PollEvent> m_events;
};

// Creates and initialises the poller named in the constructor.
class PollerFixture {
public:
    explicit PollerFixture(const char* name) : m_poller(createPoller(name)) {
        if (m_poller && m_poller->init() != 0) m_poller.reset();
    }
    PollerFixture(const PollerFixture&) = delete;
    PollerFixture& operator=(const PollerFixture&) = delete;
    ~PollerFixture() {
        if (m_poller) m_poller->shutdown();
    }

    bool ready() const { return m_poller != nullptr; }
    Poller& poller() { return *m_poller; }

    Pipe& newPipe() {
        m_pipes.push_back(std::make_unique<Pipe>());
        EXPECT_GE(m_pipes.back()->readEnd(), 0);
        return *m_pipes.back();
    }

    RecordingClient& newClient() {
        m_clients.push_back(std::make_unique<RecordingClient>());
        return *m_clients.back();
    }

    // A readable pipe registered for reading with its own client.
    std::pair<Pipe*, RecordingClient*> readyReader() {
        Pipe& p = newPipe();
        RecordingClient& c = newClient();
        EXPECT_EQ(0, poller().add(p.readEnd(), &c, Poller::EV_READ));
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
    std::vector<std::unique_ptr<Pipe>> m_pipes;
    std::vector<std::unique_ptr<RecordingClient>> m_clients;
};

}  // namespace pollertest
