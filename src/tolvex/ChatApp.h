#pragma once
// The daemon's application object: the event loop with its timers, the
// configuration, the logs and the service port. One per process (g_pApp),
// created by main; everything here runs on the event-loop thread.

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "cpputil/Log.h"
#include "cpputil/MicroTimer.h"
#include "net/AddressRateLimiter.h"
#include "net/TlsContext.h"
#include "tolvex/util/ChatContext.h"
#include "tolvex/task/JobJournal.h"

class ChatApp : public ChatContext, public TimerEvent {
public:
    static constexpr int kPingTimerId = 200;
    static constexpr int kGhostTimerId = 400;
    static constexpr int kStatTimerId = 500;
    // The statistics logs get a line this often.
    static constexpr int kStatIntervalSec = 60;

    ChatApp() = default;
    ~ChatApp() override;

    // Reads the command line and the configuration file and checks what a
    // start needs beyond them (ChatConfig::checkStart). False, after saying
    // why on standard error, when they are not fit to start on.
    bool readConfig(int argc, char** argv);
    // Timers, poller, logs, service port, banner and worker tasks. Returns 0,
    // or a non-zero exit status after saying why on standard error and in
    // the command log.
    int start();
    // Stops accepting, lets the workers finish, closes the logs. After run().
    void shutdown();

    void loopEvent() override;
    void passEvent(std::chrono::steady_clock::duration work) override;
    int OnTimer(int id, void* param) override;
    void signalEvent(int signo) override;
    // Client connections from an address over conn_rate_per_addr are
    // closed here, before any session is made for them.
    void acceptEvent2(ServiceListener* l, int fd, sockaddr_in* from, SessionFactory* factory) override;

    // The start banner of the command and chat logs.
    static void loggingStartTitle();

private:
    // 0, or the exit status after saying why.
    int openLogs(const ConfigValues& v);
    void registerTimers(const ConfigValues& v);
    int bindService(const ConfigValues& v);
    // The TLS client listener, when tls_bindaddr is set.
    int bindTlsService(const ConfigValues& v);
    // SIGUSR2: the pair named now, for new TLS connections; a pair that does
    // not load leaves the one in use, with one line.
    void reloadTlsPair(const ConfigValues& v);
    // The metrics listener, when metrics_bindaddr is set.
    int bindMetrics(const ConfigValues& v);
    // One line of every figure to both statistics logs.
    void writeStatLine();
    void startTasks();
    // Opens the job journal and hands what an earlier run left to the
    // replay. 0, or the exit status after saying why.
    int openJournal(const ConfigValues& v);
    // Runs the loop until the WAS jobs in flight have ended, at most
    // was_timeout_sec. After run() returned.
    void finishWasJobs();
    void rereadConfig();
    // The flood limits of v for the sessions and the accept path.
    void applyFloodLimits(const ConfigValues& v);
    // The join-token policy and keys of v. 0, or -1 after one command-log
    // line, the keys in effect kept.
    int applyAuth(const ConfigValues& v);
    static std::array<Log*, 4> daemonLogs();
    // Writes the lines the logs batched once the oldest waited log_flush_ms
    // (all of them when force).
    static void flushLogs(bool force);
    int fail(const std::string& why);

    ConfigReport m_startReport;
    bool m_logsOpen = false;
    std::unique_ptr<JobJournal> m_journal;
    bool m_draining = false;  // after SIGTERM: no new replays
    AddressRateLimiter m_connLimiter;
    std::unique_ptr<TlsContext> m_tls;  // the TLS listener's pair; null without one
};
