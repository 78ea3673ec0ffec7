#include "poller/Poller.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cpputil/LoopThread.h"
#include "poller/Poller_epoll.h"
#include "poller/Poller_poll.h"
#include "poller/Poller_select.h"

Poller* g_pPoller = nullptr;

namespace {

constexpr int kDrainChunk = 64;

}  // namespace

Poller::~Poller() {
    closeWakeUpPipe();
    loopthread::release();
}

void Poller::initBase() {
    closeWakeUpPipe();
}

void Poller::shutdown() {
    closeWakeUpPipe();
}

void Poller::closeWakeUpPipe() {
    const int readEnd = m_wakeup_pipe[0].exchange(-1);
    const int writeEnd = m_wakeup_pipe[1].exchange(-1);
    if (readEnd >= 0) ::close(readEnd);
    if (writeEnd >= 0) ::close(writeEnd);
    m_pipe_client.m_owner = nullptr;
}

void Poller::deferFlush(Client* client) {
    m_deferred.push_back(client);
}

void Poller::cancelFlush(Client* client) {
    for (auto* list : {&m_deferred, &m_flushing})
        std::replace(list->begin(), list->end(), client, static_cast<Client*>(nullptr));
}

void Poller::flushDeferred() {
    // A flush may fail a session whose observers queue output elsewhere, or
    // end sessions that are still waiting in this batch.
    while (!m_deferred.empty()) {
        m_flushing.swap(m_deferred);
        for (size_t i = 0; i < m_flushing.size(); ++i)
            if (Client* client = m_flushing[i]) {
                m_flushing[i] = nullptr;
                client->flushDeferred();
            }
        m_flushing.clear();
    }
}

int Poller::waitAndDispatchEvents(int timeoutMs) {
    loopthread::claim();
    flushDeferred();
    const auto waitStart = std::chrono::steady_clock::now();
    const int err = waitForEvents(timeoutMs);
    m_lastWaitEnd = std::chrono::steady_clock::now();
    m_lastWait = m_lastWaitEnd - waitStart;
    if (err != 0) return err;

    while (pendingInBatch() >= 1) {
        PollEvent ev;
        if (getNextEvent(&ev) != 0) break;
        // A client may delete other descriptors (or itself) from here; the
        // implementations keep the batch consistent with that.
        if (ev.client != nullptr && ev.client->notifyPollEvent(&ev) != 0) del(ev.fd);
    }
    return 0;
}

int Poller::initWakeUpPipe() {
    if (m_wakeup_pipe[0] >= 0) return EALREADY;

    // Non-blocking on both ends: a full pipe must never stall a writer (which
    // may be a signal handler), and the drain must stop when it is empty.
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return errno;

    const int err = add(fds[0], &m_pipe_client, EV_READ);
    if (err != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return err;
    }
    m_pipe_client.m_owner = this;
    m_wakeup_pipe[1] = fds[1];
    m_wakeup_pipe[0] = fds[0];
    return 0;
}

int Poller::wakeUp() {
    const int savedErrno = errno;
    const int writeEnd = m_wakeup_pipe[1].load();
    int result = 0;
    if (writeEnd < 0) {
        result = EBADF;
    } else {
        ssize_t n;
        do {
            n = ::write(writeEnd, "a", 1);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) result = errno;
    }
    errno = savedErrno;
    return result;
}

int Poller::WakeUpClient::notifyPollEvent(PollEvent* ev) {
    if ((ev->revents & EV_READ) == 0) return 0;

    char chunk[kDrainChunk];
    ssize_t n;
    do {
        n = ::read(ev->fd, chunk, sizeof chunk);
    } while (n == kDrainChunk || (n < 0 && errno == EINTR));
    if (m_owner != nullptr) m_owner->clearReadiness(ev->fd, EV_READ);
    return 0;
}

std::unique_ptr<Poller> createPoller(const char* name) {
    if (name == nullptr) return nullptr;
    if (std::strcmp(name, "select") == 0) return std::make_unique<Poller_select>();
    if (std::strcmp(name, "poll") == 0) return std::make_unique<Poller_poll>();
    if (std::strcmp(name, "epoll") == 0) return std::make_unique<Poller_epoll>();
    return nullptr;
}
