#pragma once
// Readiness multiplexer under the event loop. One poller exists per process
// (g_pPoller, owned by App); every operation but wakeUp() belongs to the
// event-loop thread. Results are 0 or an errno value.

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

class Poller {
public:
    // Event bits: the platform's poll flags.
    static constexpr short EV_READ = 1;    // POLLIN
    static constexpr short EV_WRITE = 4;   // POLLOUT
    static constexpr short EV_ERROR = 8;   // POLLERR
    static constexpr short EV_HANGUP = 16; // POLLHUP
    static constexpr short EV_INVALID = 32; // POLLNVAL

    class Client;

    struct PollEvent {
        int fd = -1;
        short revents = 0;
        Client* client = nullptr;
    };

    class Client {
    public:
        virtual ~Client() = default;
        // A non-zero result asks the poller to drop the descriptor.
        // The client may add, delete or re-mask descriptors from here.
        virtual int notifyPollEvent(PollEvent* ev) = 0;
        // Writes the output this client queued during the pass (see deferFlush).
        virtual void flushDeferred() {}
    };

    Poller() = default;
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;
    virtual ~Poller();

    virtual int init() = 0;
    virtual int setSignum(int) { return 0; }
    virtual void shutdown();
    virtual int add(int fd, Client* client, short events) = 0;
    virtual int del(int fd) = 0;
    virtual int setMask(int fd, short events) = 0;
    virtual int orMask(int fd, short events) = 0;
    // Keeps only the bits present in events: pass ~EV_WRITE (-5) to drop writable.
    virtual int andMask(int fd, short events) = 0;
    virtual void clearReadiness(int, short) {}
    // 0 when something is ready, EAGAIN (11) when the time ran out, else errno.
    virtual int waitForEvents(int timeoutMs) = 0;
    // EAGAIN when the batch is exhausted.
    virtual int getNextEvent(PollEvent* ev) = 0;
    // Writes the deferred output first, then waits and dispatches.
    virtual int waitAndDispatchEvents(int timeoutMs);
    // How long the last waitAndDispatchEvents() spent waiting, so a loop can
    // tell its work from its idle time.
    std::chrono::steady_clock::duration lastWait() const { return m_lastWait; }
    // When the last wait returned: the time of the events being dispatched,
    // read once per pass, so per-packet rate checks need no clock call.
    std::chrono::steady_clock::time_point lastWaitEnd() const { return m_lastWaitEnd; }

    // Output queued anywhere in a pass leaves in one write per client just
    // before the poller waits, instead of one write per packet. A client
    // asks once per pass and cancels when it goes away before the flush.
    void deferFlush(Client* client);
    void cancelFlush(Client* client);
    // Calls flushDeferred() on every client that asked; clients that ask
    // again from there are flushed in the same call.
    void flushDeferred();

    // Creates the wake-up pipe (non-blocking, close-on-exec) and registers its
    // read end. Loop thread; EALREADY when the pipe exists.
    int initWakeUpPipe();
    // Cuts a wait short. Safe from any thread and from a signal handler
    // (only write(2)) between initWakeUpPipe() and shutdown(). Returns 0, or
    // errno when the byte could not be queued; a full pipe counts as success
    // because the loop is due to wake anyway. errno itself is left unchanged.
    int wakeUp();
    bool hasWakeUpPipe() const { return m_wakeup_pipe[0] >= 0; }

protected:
    // Events left in the current batch; getNextEvent() drains it.
    virtual int pendingInBatch() const = 0;
    // Base part of init(): no pipe yet (one left from an earlier init is closed).
    void initBase();

private:
    // Drains the wake-up pipe so level-triggered waits stop reporting it.
    class WakeUpClient : public Client {
    public:
        int notifyPollEvent(PollEvent* ev) override;
        Poller* m_owner = nullptr;
    };

    void closeWakeUpPipe();

    // Read end, write end; -1 when absent. Atomic because wakeUp() reads the
    // write end from other threads and signal handlers.
    std::atomic<int> m_wakeup_pipe[2] = {-1, -1};
    std::vector<Client*> m_deferred;  // null: cancelled
    std::vector<Client*> m_flushing;  // the batch flushDeferred() is walking
    WakeUpClient m_pipe_client;
    std::chrono::steady_clock::duration m_lastWait{};
    std::chrono::steady_clock::time_point m_lastWaitEnd{};
};

// "select", "poll" or "epoll"; null for any other name. init() is not called.
std::unique_ptr<Poller> createPoller(const char* name);

// The process-wide poller, set by App::init and cleared by App::exit.
extern Poller* g_pPoller;
