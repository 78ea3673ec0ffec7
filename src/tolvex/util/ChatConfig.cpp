#include "tolvex/util/ChatConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cpputil/Config2.h"
#include "cpputil/Property.h"
#include "cpputil/Trace.h"
#include "net/TlsContext.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/WasServerTable.h"

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

void note(ConfigReport* report, std::string line) {
    if (report) report->lines.push_back(std::move(line));
}

// The keys of section "tolvexd" that a SIGUSR2 may change.
void registerChangeable(Config2& cfg, ConfigValues& v) {
    cfg.setValue("room_timeout_min", 0, true, Config2::INT, &v.room_timeout_min);
    cfg.setValue("push_alarm_count", 0, true, Config2::INT, &v.push_alarm_count);
    cfg.setValue("msg_relay_ack_timeout_sec", 0, true, Config2::INT, &v.msg_relay_ack_timeout_sec);
    cfg.setValue("msg_result_ack_timeout_sec", 0, true, Config2::INT, &v.msg_result_ack_timeout_sec);
    cfg.setValue("service_ip", 0, true, Config2::STRING, &v.service_ip);
    cfg.setValue("was_timeout_sec", 0, true, Config2::INT, &v.was_timeout_sec);
    cfg.setValue("was_max_requests", 0, true, Config2::INT, &v.was_max_requests);
    cfg.setValue("room_load_mode", 's', true, Config2::STRING, &v.room_load_mode);
    cfg.setValue("session_msg_rate", 0, true, Config2::INT, &v.session_msg_rate);
    cfg.setValue("session_msg_burst", 0, true, Config2::INT, &v.session_msg_burst);
    cfg.setValue("conn_rate_per_addr", 0, true, Config2::INT, &v.conn_rate_per_addr);
    cfg.setValue("conn_burst_per_addr", 0, true, Config2::INT, &v.conn_burst_per_addr);
    cfg.setValue("conn_rate_loopback", 0, true, Config2::BOOL, &v.conn_rate_loopback);
    cfg.setValue("auth_mode", 0, true, Config2::STRING, &v.auth_mode);
    cfg.setValue("auth_public_key", 0, true, Config2::STRING, &v.auth_public_key);
    cfg.setValue("auth_hmac_secret_file", 0, true, Config2::STRING, &v.auth_hmac_secret_file);
    cfg.setValue("auth_leeway_sec", 0, true, Config2::INT, &v.auth_leeway_sec);
    cfg.setValue("tls_cert", 0, true, Config2::STRING, &v.tls_cert);
    cfg.setValue("tls_key", 0, true, Config2::STRING, &v.tls_key);
    cfg.setValue("tls_handshake_timeout_sec", 0, true, Config2::INT, &v.tls_handshake_timeout_sec);
}

void registerRereadFlags(Config2& cfg, ConfigValues& v) {
    cfg.setValue("isreadwas", 0, true, Config2::BOOL, &v.isreadwas);
    cfg.setValue("isreadping", 0, true, Config2::BOOL, &v.isreadping);
    cfg.setValue("isreadghost", 0, true, Config2::BOOL, &v.isreadghost);
    cfg.setValue("isreadtrace", 0, true, Config2::BOOL, &v.isreadtrace);
}

// Values outside these ranges would make the daemon misbehave rather than
// fail, so they are refused with the rest of a bad file.
void limitCommon(Config2& cfg) {
    cfg.setRange("serverid", 0, 65535);
    cfg.setRange("cmdlogreopen", 0, 2);
    cfg.setChoices("iotype", {"select", "poll", "epoll"});
    cfg.setChoices("journal_sync", {"always", "interval", "off"});
    cfg.setChoices("auth_mode", {"off", "required"});
    cfg.setRange("auth_leeway_sec", 0, 3600);
    cfg.setChoices("plain_listener", {"on", "off"});
    cfg.setRange("tls_handshake_timeout_sec", 1, 3600);
    cfg.setRange("journal_max_bytes", 1 << 20, INT_MAX);
    cfg.setRange("journal_sync_interval_ms", 1, 60000);
    cfg.setRange("log_flush_ms", 0, 10000);
    cfg.setRange("max_open_files", 0, INT_MAX);
    cfg.setRange("push_alarm_count", -1, INT_MAX);
    for (const char* key : {"room_timeout_min", "msg_relay_ack_timeout_sec", "msg_result_ack_timeout_sec",
                            "was_timeout_sec", "was_max_requests", "send_buffer_max", "session_msg_rate",
                            "conn_rate_per_addr"})
        cfg.setRange(key, 0, INT_MAX);
    // A burst below one would refuse every request the rate allows.
    cfg.setRange("session_msg_burst", 1, INT_MAX);
    cfg.setRange("conn_burst_per_addr", 1, INT_MAX);
}

void registerCommon(Config2& cfg, ConfigValues& v) {
    // -c / --config is the reader's own: it selects the file before it is read.
    cfg.setValue("serverid", 'n', true, Config2::INT, &v.serverId);
    cfg.setValue("servicebindaddr", 0, true, Config2::IPADDRESS, &v.servicebindaddr);
    cfg.setValue("cmdlogpath", 0, true, Config2::STRING, &v.cmdlogpath);
    cfg.setValue("cmdlogreopen", 0, true, Config2::INT, &v.cmdlogreopen);
    cfg.setValue("iotype", 0, true, Config2::STRING, &v.iotype);
    registerChangeable(cfg, v);
    cfg.setValue("send_buffer_max", 0, true, Config2::INT, &v.send_buffer_max);
    cfg.setValue("journal_path", 0, true, Config2::STRING, &v.journal_path);
    cfg.setValue("journal_max_bytes", 0, true, Config2::INT, &v.journal_max_bytes);
    cfg.setValue("journal_sync", 0, true, Config2::STRING, &v.journal_sync);
    cfg.setValue("journal_sync_interval_ms", 0, true, Config2::INT, &v.journal_sync_interval_ms);
    cfg.setValue("log_flush_ms", 0, true, Config2::INT, &v.log_flush_ms);
    cfg.setValue("max_open_files", 0, true, Config2::INT, &v.max_open_files);
    cfg.setValue("metrics_bindaddr", 0, true, Config2::IPADDRESS, &v.metrics_bindaddr);
    cfg.setValue("tls_bindaddr", 0, true, Config2::IPADDRESS, &v.tls_bindaddr);
    cfg.setValue("plain_listener", 0, true, Config2::STRING, &v.plain_listener);
    cfg.setValue("was_ca_file", 0, true, Config2::STRING, &v.was_ca_file);
    limitCommon(cfg);
}

void registerTimeoutList(Config2& cfg, ConfigValues& v) {
    v.timeout_count = ConfigValues::kMaxTenants;
    cfg.setValue("tenant_size", 0, true, Config2::INT, &v.tenant_size);
    cfg.setValue("timeout_list", 0, true, Config2::STRING, v.timeout_list.data(), &v.timeout_count);
    cfg.setRange("tenant_size", 0, INT_MAX);
}

void registerTrace(Config2& cfg, ConfigValues& v) {
    cfg.setValue("tracelogpath", 0, true, Config2::STRING, &v.tracelogpath);
    cfg.setValue("tracelogsize", 0, true, Config2::INT, &v.tracelogsize);
    cfg.setValue("enabletrace", 0, true, Config2::BOOL, &v.enabletrace);
    cfg.setValue("tracelevel", 0, true, Config2::INT, &v.tracelevel);
    cfg.setRange("tracelogsize", 0, INT_MAX);
    cfg.setRange("tracelevel", 0, 5);
}

void registerPing(Config2& cfg, ConfigValues& v) {
    cfg.setValue("checkping", 0, true, Config2::BOOL, &v.checkping);
    cfg.setValue("pingcycle", 0, true, Config2::INT, &v.pingcycle);
    cfg.setRange("pingcycle", 1, INT_MAX);
}

void registerGhost(Config2& cfg, ConfigValues& v) {
    cfg.setValue("checkghost", 0, true, Config2::BOOL, &v.checkghost);
    cfg.setValue("ghostpingcycle", 0, true, Config2::INT, &v.ghostpingcycle);
    cfg.setRange("ghostpingcycle", 1, INT_MAX);
}

void registerWaslist(Config2& cfg, ConfigValues& v, int capacity) {
    v.was_count = capacity;
    cfg.setValue("was", 0, true, Config2::STRING, v.was.data(), &v.was_count);
    cfg.setValue("was_save_msg", 0, true, Config2::STRING, &v.was_save_msg);
    cfg.setValue("was_mobile_push", 0, true, Config2::STRING, &v.was_mobile_push);
    cfg.setValue("was_leave", 0, true, Config2::STRING, &v.was_leave);
    cfg.setValue("was_endroom", 0, true, Config2::STRING, &v.was_endroom);
    cfg.setValue("was_not_endroom", 0, true, Config2::STRING, &v.was_not_endroom);
    cfg.setValue("was_load_room", 0, true, Config2::STRING, &v.was_load_room);
    cfg.setValue("was_update_msgsend", 0, true, Config2::STRING, &v.was_update_msgsend);
    cfg.setValue("was_invite_request", 0, true, Config2::STRING, &v.was_invite_request);
    cfg.setValue("was_sendfailuser_request", 0, true, Config2::STRING, &v.was_sendfailuser_request);
}

void applyTrace(const ConfigValues& v) {
    g_trace.setPath(v.tracelogpath);
    g_trace.setMaxSize(v.tracelogsize);
    if (v.enabletrace) g_trace.on(); else g_trace.off();
    g_trace.setLevel(static_cast<unsigned short>(v.tracelevel));
}

std::string hostName() {
    char host[1024] = {};
    if (gethostname(host, sizeof host - 1) != 0) return "localhost";
    return host;
}

// Re-reads one section into v with the items registered by reg.
template <typename Register>
bool readSection(Config2& cfg, const char* section, ConfigValues& v, Register reg) {
    cfg.clearItems();
    reg(cfg, v);
    return cfg.readConfig(0, nullptr, section);
}

// The lists whose entries the daemon converts itself keep that conversion:
// it ends at the first entry without a colon, and what follows is skipped.
// Slots the file did not fill are empty and not worth a word.
void warnSkipped(const ConfigValues& v, const char* key, const std::string* list, int count,
                 ConfigReport& report) {
    int i = 0;
    while (i < count && list[i].find(':') != std::string::npos) ++i;
    for (int j = i; j < count; ++j) {
        if (list[j].empty()) continue;
        report.warnings.push_back(v.config + ": <" + key + "> \"" + list[j] + "\": skipped (" +
                                  (j == i ? "no colon" : "after an entry without a colon") + ")");
    }
}

// Below this the daemon could not open its own logs, journal and WAS
// connections beside a handful of clients.
constexpr int kFewestOpenFiles = 64;

void checkTlsListener(const ConfigValues& v, ConfigReport& report) {
    const bool tls = v.tls_bindaddr.sin_family == AF_INET;
    if (!tls) {
        if (v.plain_listener == "off")
            report.errors.push_back(v.config + ": <plain_listener> off without <tls_bindaddr>: the daemon would serve "
                                               "no client at all");
        if (!v.tls_cert.empty() || !v.tls_key.empty())
            report.warnings.push_back(v.config + ": <tls_cert>/<tls_key> without <tls_bindaddr>: no TLS listener, "
                                                 "the pair is not used");
        return;
    }
    if (v.tls_cert.empty() || v.tls_key.empty())
        report.errors.push_back(v.config + ": <tls_bindaddr> needs both <tls_cert> and <tls_key>");
    const int port = ntohs(v.tls_bindaddr.sin_port);
    if (port != 0 && port + v.serverId > 65535)
        report.errors.push_back(v.config + ": <tls_bindaddr> port plus server id " + std::to_string(v.serverId) +
                                " is past 65535");
    else if (port != 0 && ((v.plain_listener != "off" && port == ntohs(v.servicebindaddr.sin_port)) ||
                           (v.metrics_bindaddr.sin_family == AF_INET && port == ntohs(v.metrics_bindaddr.sin_port))))
        report.errors.push_back(v.config + ": <tls_bindaddr> has the port of another listener: one of them could "
                                           "not be opened");
}

const char* const kSections[] = {"tolvexd", "room_timeout_list", "trace", "ping", "ghost", "waslist"};

void checkMeaning(const ConfigValues& v, ConfigReport& report) {
    if (v.max_open_files > 0 && v.max_open_files < kFewestOpenFiles)
        report.errors.push_back(v.config + ": <max_open_files> " + std::to_string(v.max_open_files) +
                                ": fewer than the " + std::to_string(kFewestOpenFiles) +
                                " descriptors the daemon needs for itself (0: the hard limit)");
    if (v.servicebindaddr.sin_family != AF_INET)
        report.errors.push_back(v.config + ": no <servicebindaddr> in <tolvexd>: the daemon would listen on no "
                                           "address anyone configured");
    else if (ntohs(v.servicebindaddr.sin_port) + v.serverId > 65535)
        report.errors.push_back(v.config + ": <servicebindaddr> port plus server id " + std::to_string(v.serverId) +
                                " is past 65535");
    if (v.metrics_bindaddr.sin_family == AF_INET) {
        const int metricsPort = ntohs(v.metrics_bindaddr.sin_port);
        if (metricsPort != 0 && metricsPort + v.serverId > 65535)
            report.errors.push_back(v.config + ": <metrics_bindaddr> port plus server id " +
                                    std::to_string(v.serverId) + " is past 65535");
        else if (metricsPort != 0 && metricsPort == ntohs(v.servicebindaddr.sin_port))
            report.errors.push_back(v.config + ": <metrics_bindaddr> has the port of <servicebindaddr>: one of the "
                                               "two listeners could not be opened");
    }
    checkTlsListener(v, report);
    WasServerTable servers;
    servers.convert2WasInfo(v.was.data(), v.was_count);
    if (v.was_count <= 0 || servers.entry(0).addr.empty())
        report.errors.push_back(v.config + ": no usable <was> server in <waslist>: no message could be stored");
    for (int i = 0; i < v.was_count && i < WasServerTable::kCapacity; ++i)
        if (!servers.entry(i).addr.empty() && servers.entry(i).port == 0)
            report.errors.push_back(v.config + ": <was> " + v.was[i] + " has no port from 1 to 65535");
    warnSkipped(v, "was", v.was.data(), v.was_count, report);
    warnSkipped(v, "timeout_list", v.timeout_list.data(), v.timeout_count, report);
    const std::pair<const char*, const std::string*> pages[] = {
        {"was_save_msg", &v.was_save_msg},         {"was_mobile_push", &v.was_mobile_push},
        {"was_leave", &v.was_leave},               {"was_endroom", &v.was_endroom},
        {"was_not_endroom", &v.was_not_endroom},   {"was_load_room", &v.was_load_room},
        {"was_update_msgsend", &v.was_update_msgsend}, {"was_invite_request", &v.was_invite_request},
        {"was_sendfailuser_request", &v.was_sendfailuser_request}};
    for (const auto& [key, page] : pages)
        if (page->empty()) report.warnings.push_back(v.config + ": <" + key + "> is empty: its requests go to \"\"");
}

}  // namespace

void ChatConfig::check(int argc, char** argv, ConfigValues& v, ConfigReport& report) {
    Config2 cfg;
    cfg.setConfFile(v.config);
    registerCommon(cfg, v);
    registerRereadFlags(cfg, v);
    report.commonOk = cfg.readConfig(argc, argv, "tolvexd");
    v.config = cfg.confFile();
    if (report.commonOk) {
        readSection(cfg, "room_timeout_list", v, registerTimeoutList);
        readSection(cfg, "trace", v, registerTrace);
        readSection(cfg, "ping", v, registerPing);
        readSection(cfg, "ghost", v, registerGhost);
        readSection(cfg, "waslist", v, [](Config2& c, ConfigValues& x) {
            registerWaslist(c, x, WasServerTable::kCapacity);
        });
    }
    // A broken document repeats its fault once per section read.
    for (const std::string& e : cfg.errors())
        if (std::find(report.errors.begin(), report.errors.end(), e) == report.errors.end()) report.errors.push_back(e);
    report.warnings.insert(report.warnings.end(), cfg.warnings().begin(), cfg.warnings().end());
    // A value that did not convert already says what is wrong with it.
    if (report.errors.empty()) {
        checkMeaning(v, report);
        // A misspelt section is read as absent, its keys at their defaults.
        const std::vector<std::string> sections(std::begin(kSections), std::end(kSections));
        for (const auto& [name, line] : Property::strayElements(v.config.c_str(), sections))
            report.warnings.push_back(v.config + ":" + std::to_string(line) + ": <" + name +
                                      ">: not a section tolvexd reads nor inside one, ignored");
    }
}

namespace {

// "" when the daemon can create and write files in dir, else why not.
std::string unwritable(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return "";
}

std::string parentOf(const std::string& dir) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    const size_t slash = d.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : d.substr(0, slash);
}

}  // namespace

void ChatConfig::checkStart(const ConfigValues& v, ConfigReport& report) {
    checkTlsFiles(v, report);
    // The logs are opened in an existing folder; a daemon without its
    // command log would run with no word of what it does.
    const std::string logWhy = unwritable(v.cmdlogpath);
    if (!logWhy.empty())
        report.errors.push_back(v.config + ": <cmdlogpath> \"" + v.cmdlogpath + "\": the logs cannot be written there: " +
                                logWhy);
    // The default journal folder lies in the log folder: one reason is enough.
    const std::string journal = v.journalDir();
    if (logWhy.empty() || !v.journal_path.empty()) {
        // The journal makes its own folder, one level deep.
        struct stat st {};
        const bool absent = stat(journal.c_str(), &st) != 0 && errno == ENOENT;
        const std::string dir = absent ? parentOf(journal) : journal;
        if (const std::string why = unwritable(dir); !why.empty())
            report.errors.push_back(v.config + ": journal folder \"" + journal + "\": " +
                                    (absent ? "cannot be created in " + dir + ": " : "") + why);
    }
}

void ChatConfig::checkTlsFiles(const ConfigValues& v, ConfigReport& report) {
    if (v.tls_bindaddr.sin_family == AF_INET && !v.tls_cert.empty() && !v.tls_key.empty()) {
        if (const std::string why = TlsContext::checkServerPair(v.tls_cert, v.tls_key); !why.empty())
            report.errors.push_back(v.config + ": <tls_cert>/<tls_key>: " + why);
    }
    if (!v.was_ca_file.empty() && access(v.was_ca_file.c_str(), R_OK) != 0)
        report.errors.push_back(v.config + ": <was_ca_file> \"" + v.was_ca_file + "\": " + std::strerror(errno));
}

std::string ChatConfig::selectLimitWarning(const std::string& iotype, unsigned long long limit) {
    if (iotype != "select" || limit <= 1024) return "";
    return "iotype select watches descriptors below 1024 only, and the descriptor limit is " + std::to_string(limit) +
           ": connections past that are closed at once; use epoll, or max_open_files 1024";
}

std::vector<std::string> ChatConfig::settingLines(ConfigValues v) {
    v.journal_path = v.journalDir();
    std::vector<std::string> lines = {"config = " + v.config};
    const auto add = [&](auto registerSection) {
        Config2 cfg;
        registerSection(cfg, v);
        for (const auto& [key, text] : cfg.settings()) lines.push_back(key + " = " + text);
    };
    add([](Config2& c, ConfigValues& x) {
        registerCommon(c, x);
        registerRereadFlags(c, x);
    });
    // Registering a list sets its count to the capacity; the count read stays.
    const int tenants = v.timeout_count;
    add([tenants](Config2& c, ConfigValues& x) {
        registerTimeoutList(c, x);
        x.timeout_count = tenants;
    });
    add(registerTrace);
    add(registerPing);
    add(registerGhost);
    add([](Config2& c, ConfigValues& x) { registerWaslist(c, x, x.was_count); });
    return lines;
}

std::string ConfigValues::journalDir() const {
    if (!journal_path.empty()) return journal_path;
    char name[32];
    std::snprintf(name, sizeof name, "journal_%02d", serverId);
    return cmdlogpath + "/" + name;
}

bool ChatConfig::readConfig(int argc, char** argv, WasServerTable& was, ConfigReport* report) {
    ConfigReport scratch;
    if (report == nullptr) report = &scratch;
    ConfigValues v = values();
    check(argc, argv, v, *report);
    if (!report->errors.empty()) {
        TRACE(TRACE_CRITICAL, "read common config FAIL");
        return false;
    }
    TRACE(TRACE_CRITICAL, "read common config OK : %s : %d", v.config.c_str(), v.serverId);
    note(report, format("read common config OK : %s : %d", v.config.c_str(), v.serverId));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        convertTimoutInfo(v.timeout_list.data(), v.timeout_count, m_tenants);
    }
    TRACE(TRACE_CRITICAL, "read trace config OK");
    applyTrace(v);
    was.setSize(v.was_count);
    was.convert2WasInfo(v.was.data(), v.was_count);
    for (int i = 0; i < was.size(); ++i) {
        const wasinfo_t w = was.entry(i);
        note(report, format("WAS %s : %d", w.addr.c_str(), w.port));
    }
    g_strServerID = format("%s-%d", hostName().c_str(), v.serverId);
    TRACE(TRACE_INFO, "server id       : %s", g_strServerID.c_str());
    g_trace.setPrefix(format("tolvexd-%d", v.serverId));
    publish(v);
    return true;
}

ChatConfig::RereadResult ChatConfig::reread(WasServerTable& was, ConfigReport* report) {
    RereadResult result;
    ConfigValues v = values();
    TRACE(TRACE_CRITICAL, "config file name:%s", v.config.c_str());
    {
        ConfigValues scratch = v;
        ConfigReport checked;
        check(0, nullptr, scratch, checked);
        for (const std::string& w : checked.warnings) note(report, "config warning: " + w);
        if (!checked.errors.empty()) {
            note(report, "Reread config fail");
            for (const std::string& e : checked.errors) note(report, "config kept, the file is broken: " + e);
            return result;
        }
    }
    Config2 cfg;
    cfg.setConfFile(v.config);

    v.isreadwas = v.isreadping = v.isreadghost = v.isreadtrace = false;
    result.ok = readSection(cfg, "tolvexd", v, [](Config2& c, ConfigValues& x) {
        registerRereadFlags(c, x);
        registerChangeable(c, x);
        limitCommon(c);
    });
    note(report, result.ok ? "Reread config OK" : "Reread config fail");
    note(report, format("isping:%d, isghost:%d, istrace:%d, iswas:%d ", v.isreadping, v.isreadghost,
                        v.isreadtrace, v.isreadwas));

    if (readSection(cfg, "room_timeout_list", v, registerTimeoutList)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        convertTimoutInfo(v.timeout_list.data(), v.timeout_count, m_tenants);
    }
    if (v.isreadtrace && readSection(cfg, "trace", v, registerTrace)) applyTrace(v);
    if (v.isreadping) {
        const bool ok = readSection(cfg, "ping", v, registerPing);
        note(report, ok ? "Reread ping config OK" : "Reread ping config fail");
        note(report, format("isping:%d, pingCycle:%d", v.checkping, v.pingcycle));
        result.pingChanged = true;
    }
    if (v.isreadghost) {
        const bool ok = readSection(cfg, "ghost", v, registerGhost);
        note(report, ok ? "Reread ghost config OK" : "Reread ghost config fail");
        note(report, format("isghost:%d, ghostPingCycle:%d", v.checkghost, v.ghostpingcycle));
        result.ghostChanged = true;
    }
    // The list's capacity is the number of servers in effect: a re-read can
    // lower the count but never raise it.
    if (readSection(cfg, "waslist", v, [&](Config2& c, ConfigValues& x) {
            registerWaslist(c, x, was.size());
        })) {
        was.setSize(v.was_count);
        was.convert2WasInfo(v.was.data(), v.was_count);
        for (int i = 0; i < was.size(); ++i) {
            const wasinfo_t w = was.entry(i);
            note(report, format("was:%s:%d", w.addr.c_str(), w.port));
        }
    }
    publish(v);
    return result;
}

ConfigValues ChatConfig::values() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
}

std::shared_ptr<const ConfigValues> ChatConfig::shared() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shared;
}

std::vector<room_timout_info> ChatConfig::tenantTimeouts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int n = std::clamp(m_values.tenant_size, 0, ConfigValues::kMaxTenants);
    return {m_tenants.begin(), m_tenants.begin() + n};
}

int ChatConfig::convertTimoutInfo(const std::string* list, int count,
                                  std::array<room_timout_info, ConfigValues::kMaxTenants>& out) {
    count = std::min(count, ConfigValues::kMaxTenants);
    for (int i = 0; i < count; ++i) {
        const size_t colon = list[i].find(':');
        if (colon == std::string::npos) return 0;
        out[i].tenantId = list[i].substr(0, colon);
        out[i].timeInfo = list[i].substr(colon + 1);
    }
    return 1;
}

void ChatConfig::publish(const ConfigValues& v) {
    auto shared = std::make_shared<const ConfigValues>(v);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = v;
        m_shared = std::move(shared);
    }
    m_relayAckTimeoutSec = v.msg_relay_ack_timeout_sec;
    m_resultAckTimeoutSec = v.msg_result_ack_timeout_sec;
    m_pushAlarmCount = v.push_alarm_count;
    m_wasTimeoutSec = v.was_timeout_sec;
    m_wasMaxRequests = v.was_max_requests;
    m_roomTimeoutMin = v.room_timeout_min;
}
