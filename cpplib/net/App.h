#pragma once
// The shell of a server: owns the poller and the listener registries, runs
// the event loop and turns accepted descriptors into sessions. One per
// process, created by main. Everything but post() belongs to the loop thread.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>

#include "net/AppListeners.h"
#include "net/LoopTaskQueue.h"
#include "net/Session.h"
#include "net/UDPListener.h"

class Poller;
class SessionFactory;
class TlsContext;

class App : public UDPListener::EventHandler, public SessionTracker {
public:
    App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;
    // Tears down like exit().
    ~App() override;

    // A datagram from a UDP listener bound by this App. Does nothing here.
    void recvFromEvent(UDPListener* l, char* data, int len, sockaddr_in* from) override;
    // Once after every pass of the loop. Does nothing here.
    virtual void loopEvent();
    // After every pass: how long it worked, the poller's wait left out.
    // Does nothing here.
    virtual void passEvent(std::chrono::steady_clock::duration work);
    // Makes a session of fd with the factory, speaking TLS with tls when
    // given; fd is closed if none results.
    virtual void acceptEvent(int fd, sockaddr_in* from, SessionFactory* factory, const TlsContext* tls = nullptr);
    virtual void acceptEvent2(ServiceListener* l, int fd, sockaddr_in* from, SessionFactory* factory);
    // A descriptor-passing receiver failed: cancels (deletes) it here.
    virtual void errorMessageReceiverEvent(int fd);
    // A signal recorded by the handlers, delivered on the loop thread.
    // SIGUSR1 toggles the trace, SIGINT and SIGTERM stop the loop.
    virtual void signalEvent(int signo);

    // Signals, poller (unless one exists), wake-up pipe, trace file.
    // 0, EINVAL for an unknown poller name, or the errno of the failed step;
    // on failure no broken poller is left in g_pPoller.
    int init(const char* iotype);
    // Records SIGHUP, SIGALRM, SIGIO, SIGUSR1, SIGUSR2, SIGINT, SIGTERM for
    // the loop; ignores SIGPIPE; SIGQUIT and SIGSEGV abort. Returns 0.
    static int initSignal();

    // Listeners. Null when the endpoint cannot be opened (lastBindErrno()
    // says why) or its key is already bound (the first binding stays).
    // Port 0 binds a free port; the registry key is the port bound.
    ServiceListener* bindTCP(const char* port, SessionFactory* factory, int acceptCount);
    ServiceListener* bindTCP(sockaddr_in* addr, SessionFactory* factory, int acceptCount);
    // buf must hold buflen + 1 bytes (null: the listener keeps its own).
    UDPListener* bindUDP(const char* port, int buflen, char* buf);
    UDPListener* bindUDP(sockaddr_in* addr, int buflen, char* buf);
    // Takes fd, a connected UNIX socket over which descriptors arrive.
    MessageReceiver* bindMessageReceiver(int fd, SessionFactory* factory, int acceptCount);
    UDSListener* bindUDS(const char* path, SessionFactory* factory, int acceptCount);
    // errno of the last failed bind, 0 after a success.
    int lastBindErrno() const { return m_lastBindErrno; }

    // Close and delete the listener; an unknown key does nothing.
    void cancelBindTCP(uint16_t port);
    void cancelBindTCP(const char* port);
    void cancelBindUDP(uint16_t port);
    void cancelBindUDP(const char* port);
    void cancelBindUDS(const char* path);
    void cancelBindMessageReceiver(int fd);

    // The listener on port, else the lowest-port one, else null.
    ServiceListener* getServiceListener(uint16_t port) const;
    UDPListener* getUDPListener(uint16_t port) const;
    // The receiver bound on fd, or null.
    MessageReceiver* getMessageReceiver(int fd) const;

    void deleteAllTCPList();
    void deleteAllUDPList();
    void deleteAllUDSList();
    void deleteAllMSGList();

    // The event loop: passes of at most timeout ms until stop(), then returns.
    void run(int timeout);
    // One pass: wait and dispatch, posted tasks, recorded signals,
    // loopEvent(), trace file size.
    void runOnce(int timeout);
    // Ends run() after the current pass. Loop thread (or signalEvent).
    void stop() { m_stop = true; }

    // Listeners deleted, owned poller shut down and deleted, g_pPoller null.
    void exit();

    // Runs task on the loop thread at its next pass. Any thread.
    void post(std::function<void()> task) { m_tasks.post(std::move(task)); }
    bool inLoopThread() const { return m_loopThread.load() == std::this_thread::get_id(); }
    // Debug builds only: catches a loop-only call made from another thread.
    void assertInLoopThread() const;

    // Accepted sessions still open; exit() ends them.
    size_t openSessionCount() const { return m_sessions.size(); }
    // Output bytes waiting in the send buffers of those sessions.
    uint64_t queuedOutputBytes() const;
    void sessionGone(Session* session) override;

private:
    void closeAllSessions();

    static void sig_recordHandler(int signo);
    static void sig_deathHandler(int signo);
    void dispatchSignals();
    void callSignalEvent(int signo);
    void callLoopEvent();
    int adoptPoller(const char* iotype);
    static bool parsePort(const char* text, int* port);

    std::map<int, std::unique_ptr<ServiceListener>> m_bindTCPList;         // key: port, host order
    std::map<int, std::unique_ptr<UDPListener>> m_bindUDPList;             // key: port, host order
    std::map<int, std::unique_ptr<MessageReceiver>> m_msgList;             // key: descriptor
    std::map<std::string, std::unique_ptr<LServiceListener>> m_bindUDSList;  // key: socket path
    std::unique_ptr<Poller> m_poller;  // null when g_pPoller belongs to someone else
    LoopTaskQueue m_tasks;
    std::atomic<bool> m_stop{false};
    std::atomic<std::thread::id> m_loopThread;
    int m_lastBindErrno = 0;
    std::unordered_set<Session*> m_sessions;  // accepted and still open; not owned

    // Set by the handlers, taken by the loop; lock-free, so the handlers stay
    // async-signal-safe. One bit per signal number with something pending,
    // and a count per number, so that two SIGUSR1 between passes toggle twice.
    static std::atomic<unsigned> s_pendingSignals;
    static std::atomic<unsigned> s_signalCounts[32];
    // Whose wake-up pipe the handlers write to; null when none.
    static std::atomic<Poller*> s_signalPoller;
};
