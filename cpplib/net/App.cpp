#include "net/App.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"
#include "net/Session.h"
#include "poller/Poller.h"

std::atomic<unsigned> App::s_pendingSignals{0};
std::atomic<unsigned> App::s_signalCounts[32] = {};
std::atomic<Poller*> App::s_signalPoller{nullptr};

static_assert(std::atomic<unsigned>::is_always_lock_free, "signal handlers need a lock-free flag word");
static_assert(std::atomic<Poller*>::is_always_lock_free, "signal handlers need a lock-free pointer");

namespace {

// The first entry of a registry when key is absent; null when it is empty.
template <class Map>
auto* boundOrFirst(const Map& list, int key) {
    auto it = list.find(key);
    if (it == list.end()) it = list.begin();
    return it == list.end() ? nullptr : it->second.get();
}

sockaddr_in anyAddress(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return sa;
}

void installHandler(int signo, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // Recording handlers must not make blocking calls of worker threads
    // fail with EINTR; the wake-up pipe ends the loop's wait instead.
    sa.sa_flags = SA_RESTART;
    sigaction(signo, &sa, nullptr);
}

}  // namespace

App::App() : m_loopThread(std::this_thread::get_id()) {}

App::~App() {
    exit();
}

// ---- start and stop -------------------------------------------------------

int App::init(const char* iotype) {
    m_loopThread = std::this_thread::get_id();
    initSignal();
    if (int err = adoptPoller(iotype); err != 0) return err;
    m_tasks.setPoller(g_pPoller);
    s_signalPoller = g_pPoller;
    g_trace.opentracefile();
    return 0;
}

// Creates and starts the poller, or keeps the one that exists.
int App::adoptPoller(const char* iotype) {
    if (g_pPoller) return g_pPoller->hasWakeUpPipe() ? 0 : g_pPoller->initWakeUpPipe();
    std::unique_ptr<Poller> poller = createPoller(iotype ? iotype : "");
    if (!poller) return EINVAL;
    if (int err = poller->init(); err != 0) return err;
    if (int err = poller->initWakeUpPipe(); err != 0) {
        poller->shutdown();
        return err;
    }
    m_poller = std::move(poller);
    g_pPoller = m_poller.get();
    return 0;
}

void App::exit() {
    closeAllSessions();
    deleteAllTCPList();
    deleteAllUDPList();
    deleteAllUDSList();
    deleteAllMSGList();
    m_tasks.setPoller(nullptr);
    // The handlers stop writing to a pipe that is about to close.
    if (Poller* current = g_pPoller) s_signalPoller.compare_exchange_strong(current, nullptr);
    if (!m_poller) return;
    m_poller->shutdown();
    if (g_pPoller == m_poller.get()) g_pPoller = nullptr;
    m_poller.reset();
}

void App::run(int timeout) {
    m_loopThread = std::this_thread::get_id();
    while (!m_stop.load()) runOnce(timeout);
    m_stop = false;
}

void App::runOnce(int timeout) {
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    // A failed wait (an interrupted one, say) only ends this pass early.
    if (Poller* poller = g_pPoller) {
        poller->waitAndDispatchEvents(timeout);
        waited = poller->lastWait();
    } else {
        ::poll(nullptr, 0, timeout);
        waited = std::chrono::steady_clock::now() - start;
    }
    m_tasks.drain();
    dispatchSignals();
    callLoopEvent();
    g_trace.checkSize();
    passEvent(std::chrono::steady_clock::now() - start - waited);
}

void App::assertInLoopThread() const {
    assert(inLoopThread() && "loop-thread operation called from another thread");
}

// ---- signals --------------------------------------------------------------

int App::initSignal() {
    installHandler(SIGPIPE, SIG_IGN);
    for (int signo : {SIGHUP, SIGALRM, SIGUSR1, SIGUSR2, SIGIO, SIGINT, SIGTERM})
        installHandler(signo, sig_recordHandler);
    for (int signo : {SIGQUIT, SIGSEGV}) installHandler(signo, sig_deathHandler);
    return 0;
}

// Async-signal-safe: one atomic or, one write(2) to the wake-up pipe.
void App::sig_recordHandler(int signo) {
    const int savedErrno = errno;
    if (signo > 0 && signo < 32) {
        s_signalCounts[signo].fetch_add(1);
        s_pendingSignals.fetch_or(1u << signo);
    }
    if (Poller* poller = s_signalPoller.load()) poller->wakeUp();
    errno = savedErrno;
}

void App::sig_deathHandler(int) {
    abort();
}

void App::dispatchSignals() {
    unsigned bits = s_pendingSignals.exchange(0);
    for (int signo = 1; bits != 0 && signo < 32; ++signo) {
        if (!(bits & (1u << signo))) continue;
        bits &= ~(1u << signo);
        // A signal that lands between the two exchanges is counted here and
        // its bit brings the next pass round for nothing; no harm done.
        for (unsigned n = s_signalCounts[signo].exchange(0); n > 0; --n) callSignalEvent(signo);
    }
}

void App::signalEvent(int signo) {
    switch (signo) {
    case SIGUSR1:
        g_trace.toggle();
        break;
    case SIGINT:
    case SIGTERM:
        stop();
        break;
    default:
        TRACE(TRACE_INFO, "recv signal = %d\n", signo);
        break;
    }
}

// Exceptions never reach the loop.
void App::callSignalEvent(int signo) {
    try {
        signalEvent(signo);
    } catch (...) {
        REPORT_ERROR(TRACE_ERROR, "signal handler threw: %s", std::strerror(errno));
        errno = 0;
    }
}

void App::callLoopEvent() {
    try {
        loopEvent();
    } catch (...) {
        REPORT_ERROR(TRACE_ERROR, "loop pass work threw: %s", std::strerror(errno));
        errno = 0;
    }
}

void App::loopEvent() {}

void App::passEvent(std::chrono::steady_clock::duration) {}

void App::recvFromEvent(UDPListener*, char*, int, sockaddr_in*) {}

// ---- accepting ------------------------------------------------------------

void App::acceptEvent(int fd, sockaddr_in* from, SessionFactory* factory, const TlsContext* tls) {
    char ip[INET_ADDRSTRLEN] = "";
    if (from) inet_ntop(AF_INET, &from->sin_addr, ip, sizeof ip);
    TRACE(TRACE_INFO, "pid=%d, Accept from: %s, FD:%d", static_cast<int>(getpid()), ip, fd);
    Session* session = factory ? factory->newInst() : nullptr;
    if (!session) {
        ::close(fd);  // nobody else will
        return;
    }
    if (!session->import(fd)) {
        delete session;  // the failed import closed fd
        return;
    }
    if (tls && !session->startTls(*tls)) {
        REPORT_ERROR(TRACE_ERROR, "cannot start TLS on a new connection from %s, fd=%d", ip, fd);
        session->releaseNow();
        return;
    }
    if (from) session->setPeerAddr(*from);
    session->setTracker(this);
    m_sessions.insert(session);
}

uint64_t App::queuedOutputBytes() const {
    assertInLoopThread();
    uint64_t total = 0;
    for (const Session* s : m_sessions) total += static_cast<uint64_t>(s->sendQueued());
    return total;
}

void App::sessionGone(Session* session) {
    m_sessions.erase(session);
}

// Sessions are normally destroyed by their own release path; at shutdown
// nothing would run it, so the ones still open are released here.
void App::closeAllSessions() {
    while (!m_sessions.empty()) {
        Session* session = *m_sessions.begin();
        m_sessions.erase(m_sessions.begin());
        session->setTracker(nullptr);
        session->releaseNow();
    }
}

void App::acceptEvent2(ServiceListener* l, int fd, sockaddr_in* from, SessionFactory* factory) {
    acceptEvent(fd, from, factory, l ? l->tls() : nullptr);
}

void App::errorMessageReceiverEvent(int fd) {
    cancelBindMessageReceiver(fd);
}

// ---- binding --------------------------------------------------------------

bool App::parsePort(const char* text, int* port) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 65535) return false;
    *port = static_cast<int>(value);
    return true;
}

ServiceListener* App::bindTCP(const char* port, SessionFactory* factory, int acceptCount) {
    int p = 0;
    if (!parsePort(port, &p)) {
        m_lastBindErrno = EINVAL;
        return nullptr;
    }
    sockaddr_in sa = anyAddress(p);
    return bindTCP(&sa, factory, acceptCount);
}

ServiceListener* App::bindTCP(sockaddr_in* addr, SessionFactory* factory, int acceptCount) {
    assertInLoopThread();
    const int wanted = ntohs(addr->sin_port);
    if (wanted != 0 && m_bindTCPList.count(wanted)) {
        m_lastBindErrno = EADDRINUSE;
        return nullptr;
    }
    auto listener = std::make_unique<ServiceListener>(this, factory);
    listener->setAddress(*addr);
    listener->setAcceptCount(acceptCount);
    if (listener->init() != 0) {
        m_lastBindErrno = listener->lastError();
        return nullptr;
    }
    const int key = listener->port();
    if (m_bindTCPList.count(key)) {
        m_lastBindErrno = EADDRINUSE;
        return nullptr;  // the new listener closes as it goes
    }
    ServiceListener* raw = listener.get();
    m_bindTCPList.emplace(key, std::move(listener));
    m_lastBindErrno = 0;
    return raw;
}

UDPListener* App::bindUDP(const char* port, int buflen, char* buf) {
    int p = 0;
    if (!parsePort(port, &p)) {
        m_lastBindErrno = EINVAL;
        return nullptr;
    }
    sockaddr_in sa = anyAddress(p);
    return bindUDP(&sa, buflen, buf);
}

UDPListener* App::bindUDP(sockaddr_in* addr, int buflen, char* buf) {
    assertInLoopThread();
    const int wanted = ntohs(addr->sin_port);
    if (wanted != 0 && m_bindUDPList.count(wanted)) {
        m_lastBindErrno = EADDRINUSE;
        return nullptr;
    }
    auto listener = std::make_unique<UDPListener>();
    listener->setAddress(*addr);
    listener->set(buflen, buf);
    listener->setHandler(this);
    if (listener->init() != 0) {
        m_lastBindErrno = listener->lastError();
        return nullptr;
    }
    const int key = listener->port();
    if (m_bindUDPList.count(key)) {
        m_lastBindErrno = EADDRINUSE;
        return nullptr;
    }
    UDPListener* raw = listener.get();
    m_bindUDPList.emplace(key, std::move(listener));
    m_lastBindErrno = 0;
    return raw;
}

MessageReceiver* App::bindMessageReceiver(int fd, SessionFactory* factory, int acceptCount) {
    assertInLoopThread();
    // The descriptor already belongs to the receiver registered under it.
    if (fd < 0 || m_msgList.count(fd)) {
        m_lastBindErrno = fd < 0 ? EBADF : EEXIST;
        return nullptr;
    }
    auto receiver = std::make_unique<MessageReceiver>(this, factory);
    receiver->setSocket(fd);
    receiver->setAcceptCount(acceptCount);
    if (receiver->init() != 0) {
        m_lastBindErrno = EINVAL;
        return nullptr;  // its destructor closes fd
    }
    MessageReceiver* raw = receiver.get();
    m_msgList.emplace(fd, std::move(receiver));
    m_lastBindErrno = 0;
    return raw;
}

UDSListener* App::bindUDS(const char* path, SessionFactory* factory, int acceptCount) {
    assertInLoopThread();
    if (!path || !*path || std::strlen(path) > UDSListener::kMaxPath) {
        m_lastBindErrno = path && *path ? ENAMETOOLONG : EINVAL;
        return nullptr;
    }
    // Checked before init(), which would unlink the live socket file.
    if (m_bindUDSList.count(path)) {
        m_lastBindErrno = EADDRINUSE;
        return nullptr;
    }
    auto listener = std::make_unique<LServiceListener>(this, factory);
    listener->setPath(path);
    listener->setAcceptCount(acceptCount);
    if (listener->init() != 0) {
        m_lastBindErrno = listener->lastError();
        return nullptr;
    }
    LServiceListener* raw = listener.get();
    m_bindUDSList.emplace(path, std::move(listener));
    m_lastBindErrno = 0;
    return raw;
}

// ---- cancelling and lookup ------------------------------------------------

void App::cancelBindTCP(uint16_t port) {
    assertInLoopThread();
    m_bindTCPList.erase(port);  // the listener's destructor closes it
}

void App::cancelBindTCP(const char* port) {
    int p = 0;
    if (parsePort(port, &p)) cancelBindTCP(static_cast<uint16_t>(p));
}

void App::cancelBindUDP(uint16_t port) {
    assertInLoopThread();
    m_bindUDPList.erase(port);
}

void App::cancelBindUDP(const char* port) {
    int p = 0;
    if (parsePort(port, &p)) cancelBindUDP(static_cast<uint16_t>(p));
}

void App::cancelBindUDS(const char* path) {
    assertInLoopThread();
    if (path) m_bindUDSList.erase(path);
}

void App::cancelBindMessageReceiver(int fd) {
    assertInLoopThread();
    // May run inside the receiver's own dispatch; it touches nothing after.
    m_msgList.erase(fd);
}

ServiceListener* App::getServiceListener(uint16_t port) const {
    return boundOrFirst(m_bindTCPList, port);
}

UDPListener* App::getUDPListener(uint16_t port) const {
    return boundOrFirst(m_bindUDPList, port);
}

MessageReceiver* App::getMessageReceiver(int fd) const {
    auto it = m_msgList.find(fd);
    return it == m_msgList.end() ? nullptr : it->second.get();
}

void App::deleteAllTCPList() {
    m_bindTCPList.clear();
}

void App::deleteAllUDPList() {
    m_bindUDPList.clear();
}

void App::deleteAllUDSList() {
    m_bindUDSList.clear();
}

void App::deleteAllMSGList() {
    m_msgList.clear();
}
