#include "tolvex/ChatApp.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "cpputil/OpenFileLimit.h"
#include "cpputil/Trace.h"
#include "net/HttpClientSession.h"
#include "poller/Poller.h"
#include "tolvex/ConfigCheck.h"
#include "tolvex/MetricsEndpoint.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/crypt/TokenVerifier.h"
#include "tolvex/chat/JournalReplay.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatFactory.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/task/AckTask.h"
#include "tolvex/task/RoomInitTask.h"
#include "tolvex/task/RoomTask.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/Metrics.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/util/ChatUtil.h"

namespace {

std::string nowText(const char* fmt) {
    const time_t now = time(nullptr);
    tm lt{};
    localtime_r(&now, &lt);
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                  lt.tm_min, lt.tm_sec);
    return buf;
}

reopen_t reopenMode(int value) {
    // An unknown mode falls back to daily files rather than to no files.
    return (value == REOPEN_HH || value == REOPEN_MM) ? static_cast<reopen_t>(value) : REOPEN_DD;
}

}  // namespace

ChatApp::~ChatApp() {
    MicroTimer::getInst().killAll(this);
    stopRoutingFrameworkErrors();
}

bool ChatApp::readConfig(int argc, char** argv) {
    bool ok = m_config.readConfig(argc, argv, g_was, &m_startReport);
    if (ok) {
        ChatConfig::checkStart(m_config.values(), m_startReport);
        checkAuthSettings(m_config.values(), m_startReport);
        ok = m_startReport.errors.empty();
    }
    printConfigReport(m_startReport, stderr);
    g_serverId = m_config.values().serverId;
    return ok;
}

int ChatApp::start() {
    const ConfigValues v = m_config.values();
    // Before anything holds a descriptor worth counting.
    const open_file_limit_t limit = setOpenFileLimit(v.max_open_files);
    if (int rc = openLogs(v); rc != 0) return rc;
    for (const std::string& line : m_startReport.lines) g_Logger.log("%s", line.c_str());
    for (const std::string& w : m_startReport.warnings) g_Logger.log("config warning: %s", w.c_str());
    g_Logger.log("%s", describeOpenFileLimit(limit).c_str());
    // The file's check warned about the limit it expected; this is the one in effect.
    if (std::string w = ChatConfig::selectLimitWarning(v.iotype, limit.after); !w.empty()) {
        g_Logger.log("warning: %s", w.c_str());
        std::fprintf(stderr, "tolvexd: warning: %s\n", w.c_str());
    }

    registerTimers(v);
    if (int err = App::init(v.iotype.c_str()); err != 0)
        return fail("cannot start the " + v.iotype + " poller: " + std::strerror(err));
    ChatFactory::getInst().setSendBufLimit(v.send_buffer_max);
    applyFloodLimits(v);
    // The check before the start read the same files; they may be gone now.
    if (applyAuth(v) != 0) return fail("cannot read the join token keys");
    if (int rc = openJournal(v); rc != 0) return rc;
    if (int rc = bindService(v); rc != 0) return rc;
    if (int rc = bindTlsService(v); rc != 0) return rc;
    if (int rc = bindMetrics(v); rc != 0) return rc;
    if (std::string why; !v.was_ca_file.empty() && HttpClientFactory::getInst()->setTrust(v.was_ca_file, &why) != 0)
        return fail("<was_ca_file>: " + why);

    loggingStartTitle();
    startTasks();
    return 0;
}

int ChatApp::openLogs(const ConfigValues& v) {
    char name[64];
    const reopen_t mode = reopenMode(v.cmdlogreopen);
    const char* path = v.cmdlogpath.c_str();
    std::snprintf(name, sizeof name, "zpx_%02d", g_serverId);
    g_Logger.init(path, name, mode);
    std::snprintf(name, sizeof name, "chat_%02d", g_serverId);
    g_FormatLogger.init(path, name, mode);
    std::snprintf(name, sizeof name, "zpxstat_%02d", g_serverId);
    g_LoggerForStat.init(path, name, mode);
    std::snprintf(name, sizeof name, "chatstat_%02d", g_serverId);
    g_statLogger.init(path, name, mode);
    // The statistics logs get a line a minute (writeStatLine); opened now,
    // so the files are there from the start.
    const time_t now = time(nullptr);
    int failed = 0;
    for (Log* log : daemonLogs()) {
        log->setFlushInterval(v.log_flush_ms);
        if (log->reopen(now) != 0) ++failed;
    }
    // The folder was writable when the file was checked; it may not be now.
    if (failed != 0) return fail("cannot open " + std::to_string(failed) + " of the logs in " + v.cmdlogpath);
    m_logsOpen = true;
    routeFrameworkErrorsToCommandLog();
    return 0;
}

std::array<Log*, 4> ChatApp::daemonLogs() {
    return {&g_Logger, &g_FormatLogger, &g_LoggerForStat, &g_statLogger};
}

void ChatApp::flushLogs(bool force) {
    timeval now{};
    gettimeofday(&now, nullptr);
    for (Log* log : daemonLogs()) log->flushIfDue(now, force);
}

void ChatApp::registerTimers(const ConfigValues& v) {
    MicroTimer& timers = MicroTimer::getInst();
    if (v.checkping) timers.setTimer(this, kPingTimerId, v.pingcycle, nullptr);
    if (v.checkghost) timers.setTimer(this, kGhostTimerId, v.ghostpingcycle, nullptr);
    // Loopback tests shorten the minute; read once, like the room task's clock.
    int statSec = kStatIntervalSec;
    if (const char* env = std::getenv("TOLVEXD_TEST_STAT_INTERVAL_SEC"); env && std::atoi(env) > 0)
        statSec = std::atoi(env);
    timers.setTimer(this, kStatTimerId, statSec, nullptr);
}

int ChatApp::bindService(const ConfigValues& v) {
    sockaddr_in addr = v.servicebindaddr;
    addr.sin_family = AF_INET;
    g_service_port = ntohs(addr.sin_port) + g_serverId;
    TRACE(TRACE_CRITICAL, "TCP Bind Port : %d", g_service_port);
    if (g_service_port < 0 || g_service_port > 65535)
        return fail("service port " + std::to_string(g_service_port) + " is out of range");
    addr.sin_port = htons(static_cast<uint16_t>(g_service_port));
    if (v.plain_listener == "off") {
        g_Logger.log("plain listener off: clients connect over TLS only");
        return 0;
    }
    if (!bindTCP(&addr, &ChatFactory::getInst(), 10)) {
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
        return fail(std::string("cannot listen on ") + ip + ":" + std::to_string(g_service_port) + ": " +
                    std::strerror(lastBindErrno()));
    }
    g_Logger.log("listening on port %d (%s poller)", g_service_port, v.iotype.c_str());
    return 0;
}

int ChatApp::bindTlsService(const ConfigValues& v) {
    if (v.tls_bindaddr.sin_family != AF_INET) return 0;
    auto tls = std::make_unique<TlsContext>();
    std::string why;
    if (tls->loadServerPair(v.tls_cert, v.tls_key, &why) != 0) return fail("TLS listener: " + why);
    tls->setHandshakeTimeoutSec(v.tls_handshake_timeout_sec);
    sockaddr_in addr = v.tls_bindaddr;
    // Each instance of a host gets its own port, as with the plain one; port
    // 0 (any free port) stays 0.
    const int configured = ntohs(addr.sin_port);
    const int port = configured == 0 ? 0 : configured + g_serverId;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    ServiceListener* listener = bindTCP(&addr, &ChatFactory::getInst(), 10);
    if (!listener)
        return fail(std::string("cannot listen for TLS on ") + ip + ":" + std::to_string(port) + ": " +
                    std::strerror(lastBindErrno()));
    listener->setTls(tls.get());
    m_tls = std::move(tls);
    // The port the WAS hands to clients (room directory, pushes,
    // invitations) and knows this daemon by must be one they can reach.
    if (v.plain_listener == "off") g_service_port = listener->port();
    g_Logger.log("listening for TLS on %s:%d (certificate %s)", ip, listener->port(), v.tls_cert.c_str());
    return 0;
}

void ChatApp::reloadTlsPair(const ConfigValues& v) {
    if (!m_tls) return;
    m_tls->setHandshakeTimeoutSec(v.tls_handshake_timeout_sec);
    std::string why;
    if (m_tls->loadServerPair(v.tls_cert, v.tls_key, &why) != 0)
        g_Logger.log("SIGUSR2 TLS pair kept, the new one does not load: %s", why.c_str());
    else
        g_Logger.log("SIGUSR2 TLS pair loaded for new connections: %s", v.tls_cert.c_str());
}

int ChatApp::bindMetrics(const ConfigValues& v) {
    if (v.metrics_bindaddr.sin_family != AF_INET) return 0;
    MetricsEndpoint& endpoint = MetricsEndpoint::getInst();
    endpoint.setApp(this);
    sockaddr_in addr = v.metrics_bindaddr;
    // Each instance of a host gets its own port, as with the service port;
    // port 0 (any free port) stays 0.
    const int configured = ntohs(addr.sin_port);
    const int port = configured == 0 ? 0 : configured + g_serverId;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    ServiceListener* listener = bindTCP(&addr, &endpoint.factory(), 4);
    if (!listener)
        return fail(std::string("cannot listen for metrics on ") + ip + ":" + std::to_string(port) + ": " +
                    std::strerror(lastBindErrno()));
    g_Logger.log("metrics on http://%s:%d/metrics and /healthz", ip, listener->port());
    return 0;
}

int ChatApp::fail(const std::string& why) {
    std::fprintf(stderr, "tolvexd: %s\n", why.c_str());
    if (m_logsOpen) g_Logger.log("start failed: %s", why.c_str());
    return 1;
}

void ChatApp::loggingStartTitle() {
    const std::string when = nowText("%02d-%02d-%02d %02d:%02d:%02d");
    g_Logger.log("##### tolvexd start time:%s #####", when.c_str());
    g_FormatLogger.log("##### tolvexd start time:%s #####", when.c_str());
}

int ChatApp::openJournal(const ConfigValues& v) {
    JobJournal::options_t options;
    options.dir = v.journalDir();
    options.maxBytes = static_cast<uint64_t>(v.journal_max_bytes);
    options.sync = v.journal_sync == "off"        ? JobJournal::sync_t::OFF
                   : v.journal_sync == "interval" ? JobJournal::sync_t::INTERVAL
                                                  : JobJournal::sync_t::ALWAYS;
    options.intervalMs = v.journal_sync_interval_ms;
    auto journal = std::make_unique<JobJournal>();
    std::vector<JobJournal::record_t> pending;
    std::vector<std::string> notes;
    std::string error;
    if (journal->open(options, &pending, &notes, &error) != 0) return fail("cannot open the journal: " + error);
    for (const std::string& note : notes) g_Logger.log("journal: %s", note.c_str());
    g_Logger.log("journal: %s, sync %s, %llu bytes, %zu request(s) unanswered", options.dir.c_str(),
                 v.journal_sync.c_str(), static_cast<unsigned long long>(journal->bytes()), pending.size());
    m_journal = std::move(journal);
    JournalReplay::getInst().setJournal(m_journal.get());
    JournalReplay::getInst().startup(pending);
    return 0;
}

void ChatApp::startTasks() {
    for (const room_timout_info& entry : m_config.tenantTimeouts()) {
        if (entry.tenantId.empty()) continue;  // unused slot of the table
        const int minutes = ChatUtil::convertToMinute(entry.timeInfo);
        g_Logger.log("ROOM_TIMEOUT:%s, %d", entry.tenantId.c_str(), minutes);
        RoomTask::getInstance().setTimeoutMinute(entry.tenantId, minutes);
    }
    AckTask::getInstance().start();
    SendStateTask::getInstance().start();
    RoomTask::getInstance().start();
    // Clients get the not-ready notice until this task has loaded the rooms.
    RoomInitTask::getInstance().start();
}

void ChatApp::shutdown() {
    const std::string when = nowText("%02d-%02d-%02d %02d:%02d:%02d");
    g_Logger.log("##### tolvexd stop time:%s #####", when.c_str());
    g_FormatLogger.log("##### tolvexd stop time:%s #####", when.c_str());
    MicroTimer::getInst().killAll(this);
    // Before the loop goes: the tasks post their work to it.
    RoomInitTask::getInstance().stop();
    RoomTask::getInstance().stop();
    SendStateTask::getInstance().stop();
    AckTask::getInstance().stop();
    m_draining = true;
    finishWasJobs();
    // Jobs still unanswered stay in the journal for the next start.
    if (m_journal) m_journal->sync(std::chrono::steady_clock::now());
    App::exit();
    JournalReplay::getInst().setJournal(nullptr);
    m_journal.reset();
    for (Log* log : {&g_Logger, &g_FormatLogger, &g_LoggerForStat, static_cast<Log*>(&g_statLogger)})
        log->close();
    m_logsOpen = false;
}

void ChatApp::finishWasJobs() {
    // A job waits at most one WAS wait per attempt; saves and leaves still
    // in flight at SIGTERM are worth that long, but no longer.
    if (!g_pPoller) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_config.wasTimeoutSec());
    if (JobHandler::liveJobCount() == 0) return;
    g_Logger.log("waiting for %d WAS job(s) before exit", JobHandler::liveJobCount());
    while (JobHandler::liveJobCount() > 0 && std::chrono::steady_clock::now() < deadline) runOnce(1);
    if (JobHandler::liveJobCount() > 0) g_Logger.log("%d WAS job(s) still waiting at exit", JobHandler::liveJobCount());
    // A job that gave up released its WAS connection; the poller destroys
    // such sessions on its next pass.
    for (int pass = 0; pass < 3; ++pass) runOnce(1);
}

void ChatApp::loopEvent() {
    try {
        MicroTimer::getInst().check2();
        // After the timers: the connections they freed go to waiting jobs.
        JobHandler::startWaitingJobs();
        if (m_journal) {
            // One sync for everything this pass appended; the ACKs that
            // waited for it go out right after.
            const auto now = std::chrono::steady_clock::now();
            m_journal->sync(now);
            if (!m_draining) JournalReplay::getInst().pump(now);
        }
        flushLogs(false);
    } catch (...) {
        TRACE(TRACE_DEBUG, "loopEvent Exception ERROR:%d(%s)", errno, std::strerror(errno));
        errno = 0;
    }
}

int ChatApp::OnTimer(int id, void*) {
    if (id == kStatTimerId) writeStatLine();
    return 0;
}

void ChatApp::writeStatLine() {
    const std::string line = MetricsEndpoint::getInst().summaryLine();
    g_LoggerForStat.log("%s", line.c_str());
    g_statLogger.log("%s", line.c_str());
}

void ChatApp::passEvent(std::chrono::steady_clock::duration work) {
    Metrics::getInst().loopPass.observe(std::chrono::duration<double>(work).count());
}

void ChatApp::signalEvent(int signo) {
    if (signo == SIGUSR2) {
        rereadConfig();
        return;
    }
    App::signalEvent(signo);
}

void ChatApp::applyFloodLimits(const ConfigValues& v) {
    ChatSession::setRequestLimit(v.session_msg_rate, v.session_msg_burst);
    m_connLimiter.configure(v.conn_rate_per_addr, v.conn_burst_per_addr, v.conn_rate_loopback);
}

int ChatApp::applyAuth(const ConfigValues& v) {
    TokenVerifier& verifier = TokenVerifier::getInst();
    verifier.setPolicy(v.auth_mode == "required", v.auth_leeway_sec);
    std::string error;
    if (verifier.load(v.auth_public_key, v.auth_hmac_secret_file, &error) != 0) {
        g_Logger.log("auth keys not read, %zu key(s) kept: %s", verifier.keyCount(), error.c_str());
        return -1;
    }
    g_Logger.log("auth_mode %s, %zu key(s), leeway %d s", v.auth_mode.c_str(), verifier.keyCount(),
                 v.auth_leeway_sec);
    return 0;
}

void ChatApp::acceptEvent2(ServiceListener* l, int fd, sockaddr_in* from, SessionFactory* factory) {
    // The metrics listener has its own cap; only client connections count here.
    if (factory != &ChatFactory::getInst() || !from || !g_pPoller) {
        App::acceptEvent2(l, fd, from, factory);
        return;
    }
    const AddressRateLimiter::verdict_t verdict = m_connLimiter.admit(from->sin_addr.s_addr, g_pPoller->lastWaitEnd());
    if (verdict == AddressRateLimiter::ADMIT) {
        App::acceptEvent2(l, fd, from, factory);
        return;
    }
    ::close(fd);
    Metrics::add(Metrics::getInst().connectionsRateLimited);
    if (verdict == AddressRateLimiter::REFUSE_FIRST) {
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from->sin_addr, ip, sizeof ip);
        const ConfigValues v = m_config.values();
        g_Logger.log("conn_rate_per_addr exceeded: %s opens more than %d connections a second (burst %d); its new "
                     "connections are closed at accept until it slows down",
                     ip, v.conn_rate_per_addr, v.conn_burst_per_addr);
    }
}

void ChatApp::rereadConfig() {
    TRACE(TRACE_CRITICAL, "Enter SIGUSR2 Handler Number:%d", SIGUSR2);
    flushLogs(true);
    ConfigReport report;
    const ChatConfig::RereadResult result = m_config.reread(g_was, &report);
    for (const std::string& line : report.lines) g_Logger.log("SIGUSR2 %s", line.c_str());
    const ConfigValues v = m_config.values();
    applyFloodLimits(v);
    applyAuth(v);
    if (result.ok) reloadTlsPair(v);
    MicroTimer& timers = MicroTimer::getInst();
    if (result.pingChanged) {
        timers.killTimer(this, kPingTimerId);
        if (v.checkping) timers.setTimer(this, kPingTimerId, v.pingcycle, nullptr);
    }
    if (result.ghostChanged) {
        timers.killTimer(this, kGhostTimerId);
        if (v.checkghost) timers.setTimer(this, kGhostTimerId, v.ghostpingcycle, nullptr);
    }
    TRACE(TRACE_CRITICAL, "Leave SIGUSR Hander");
}
