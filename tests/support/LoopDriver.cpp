#include "support/LoopDriver.h"

#include <signal.h>

#include <chrono>
#include <stdexcept>

#include "cpputil/MicroTimer.h"
#include "poller/Poller.h"

bool runUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (g_pPoller) g_pPoller->waitAndDispatchEvents(1);
        MicroTimer::getInst().check2();
    }
    return true;
}

ScopedPoller::ScopedPoller(const std::string& name) : m_poller(createPoller(name.c_str())) {
    if (!m_poller) throw std::invalid_argument("unknown poller " + name);
    if (m_poller->init() != 0 || m_poller->initWakeUpPipe() != 0)
        throw std::runtime_error("cannot start poller " + name);
    g_pPoller = m_poller.get();
}

ScopedPoller::~ScopedPoller() {
    if (g_pPoller == m_poller.get()) g_pPoller = nullptr;
    m_poller->shutdown();
}

namespace {

void ignoreSigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace

void LoopFixture::SetUp() {
    ignoreSigpipe();
    m_loop = std::make_unique<ScopedPoller>(pollerName());
}

void LoopFixture::TearDown() {
    m_loop.reset();
}

void LoopParamFixture::SetUp() {
    ignoreSigpipe();
    m_loop = std::make_unique<ScopedPoller>(GetParam());
}

void LoopParamFixture::TearDown() {
    m_loop.reset();
}
