#pragma once
// The daemon's settings: what config.xml and the command line say, read at
// start and partly again on SIGUSR2. Reading and re-reading happen on the
// event-loop thread; the values that worker threads consult are atomics.

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class WasServerTable;

struct room_timout_info {
    std::string tenantId;
    std::string timeInfo;  // "days:hours:minutes"
};

// The values as the reader fills them. One pass works on one copy, so a
// half-read file never shows up in the live settings.
struct ConfigValues {
    static constexpr int kMaxTenants = 10;
    static constexpr int kMaxWas = 30;

    // section "tolvexd"
    std::string config = "./config.xml";
    int serverId = 0;
    sockaddr_in servicebindaddr{};
    std::string cmdlogpath = ".";
    int cmdlogreopen = 0;
    std::string iotype = "poll";
    int room_timeout_min = 60;
    int push_alarm_count = 1;
    int msg_relay_ack_timeout_sec = 10;
    int msg_result_ack_timeout_sec = 30;
    std::string service_ip;
    int was_timeout_sec = 20;
    int was_max_requests = 1000;  // WAS requests in flight at once; 0: no limit
    std::string room_load_mode = "all";
    int send_buffer_max = 4 * 1024 * 1024;
    std::string journal_path;  // empty: <cmdlogpath>/journal_NN
    int journal_max_bytes = 1 << 30;
    std::string journal_sync = "always";
    int journal_sync_interval_ms = 100;
    int log_flush_ms = 100;  // 0: every log line written at once
    int max_open_files = 0;  // soft descriptor limit set at start; 0: the hard limit
    sockaddr_in metrics_bindaddr{};  // the metrics listener; AF_UNSPEC (unset): none
    // The TLS client listener beside the plain one (AF_UNSPEC: none), its
    // PEM pair (re-read on SIGUSR2 for new connections), whether the plain
    // listener runs too ("on"/"off"), and how long a handshake may take.
    sockaddr_in tls_bindaddr{};
    std::string tls_cert;
    std::string tls_key;
    std::string plain_listener = "on";
    int tls_handshake_timeout_sec = 10;
    // CA certificates the https:// WAS servers are verified against; empty:
    // the system store.
    std::string was_ca_file;
    // Flood limits (0: off). Requests one session may make a second, with
    // a burst; new connections one peer address may open a second, with a
    // burst, loopback peers exempt unless conn_rate_loopback.
    int session_msg_rate = 50;
    int session_msg_burst = 200;
    int conn_rate_per_addr = 20;
    int conn_burst_per_addr = 40;
    bool conn_rate_loopback = false;
    // Join tokens (AUTH): "off" or "required"; PEM public keys (ES256,
    // RS256) and HS256 secret files, each a space-separated list whose
    // file base names are the keys' kids; clock leeway in seconds.
    std::string auth_mode = "off";
    std::string auth_public_key;
    std::string auth_hmac_secret_file;
    int auth_leeway_sec = 30;
    bool isreadwas = false;
    bool isreadping = false;
    bool isreadghost = false;
    bool isreadtrace = false;

    // section "room_timeout_list"
    int tenant_size = kMaxTenants;
    std::array<std::string, kMaxTenants> timeout_list;
    int timeout_count = 0;

    // section "trace"
    std::string tracelogpath;
    int tracelogsize = 0x40000000;
    bool enabletrace = false;
    int tracelevel = 1;

    // sections "ping" and "ghost"
    bool checkping = true;
    int pingcycle = 300;
    bool checkghost = true;
    int ghostpingcycle = 60;

    // section "waslist"
    std::array<std::string, kMaxWas> was;
    int was_count = kMaxWas;
    std::string was_save_msg;
    std::string was_mobile_push;
    std::string was_leave;
    std::string was_endroom;
    std::string was_not_endroom;
    std::string was_load_room;
    std::string was_update_msgsend;
    std::string was_invite_request;
    std::string was_sendfailuser_request;

    // The journal's folder: journal_path, or journal_NN beside the logs.
    std::string journalDir() const;
};

// What a read pass found, for the command log once it is open.
struct ConfigReport {
    bool commonOk = false;
    // What keeps the daemon from starting (or a re-read from taking
    // effect), and what it goes on without; each names the file and line,
    // or the command-line option.
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> lines;  // operational lines worth logging
};

class ChatConfig {
public:
    ChatConfig() = default;
    ChatConfig(const ChatConfig&) = delete;
    ChatConfig& operator=(const ChatConfig&) = delete;

    // Start-up read: command line plus every section, in order. Fills was
    // with the server list. Returns false, with the reasons in
    // report->errors and nothing applied, when the file or the command line
    // is not fit to start on.
    bool readConfig(int argc, char** argv, WasServerTable& was, ConfigReport* report);

    // Every section of the file (and the command line, when argc > 0) read
    // into v in start order and checked, with no other effect: the one
    // judgement behind start, SIGUSR2 and a configuration check.
    static void check(int argc, char** argv, ConfigValues& v, ConfigReport& report);
    // What a start needs beyond a sound file, checked without taking it:
    // folders it can write its logs and journal in. Adds to report;
    // creates nothing.
    static void checkStart(const ConfigValues& v, ConfigReport& report);
    // The TLS files a start would load: the listener's pair loads and the
    // key matches, the WAS CA file is readable. Adds to report.
    static void checkTlsFiles(const ConfigValues& v, ConfigReport& report);
    // The warning for a select poller under a descriptor limit above the
    // 1024 descriptors it can watch; empty otherwise.
    static std::string selectLimitWarning(const std::string& iotype, unsigned long long limit);
    // Every setting of v, one "key = value" a line in the order of the
    // sections; list entries a line each; the journal folder as resolved.
    static std::vector<std::string> settingLines(ConfigValues v);

    // SIGUSR2 re-read of the changeable keys, without the command line.
    // A file that check() finds errors in changes nothing (ok false, the
    // reasons in the report's lines).
    // Ping and ghost changes are reported through pingChanged/ghostChanged.
    struct RereadResult {
        bool ok = false;
        bool pingChanged = false;
        bool ghostChanged = false;
    };
    RereadResult reread(WasServerTable& was, ConfigReport* report);

    // A copy of the values in effect. Event-loop thread.
    ConfigValues values() const;
    // The values in effect, shared rather than copied: WAS jobs read a few
    // of them per request. A re-read publishes a new set; holders of the
    // old one keep it until they let go. Any thread.
    std::shared_ptr<const ConfigValues> shared() const;

    // Read from any thread.
    int relayAckTimeoutSec() const { return m_relayAckTimeoutSec; }
    int resultAckTimeoutSec() const { return m_resultAckTimeoutSec; }
    int pushAlarmCount() const { return m_pushAlarmCount; }
    int wasTimeoutSec() const { return m_wasTimeoutSec; }
    int wasMaxRequests() const { return m_wasMaxRequests; }
    int roomTimeoutMin() const { return m_roomTimeoutMin; }

    // The tenant time-out entries handed to the room task at start:
    // at most the table size, however large tenant_size is.
    std::vector<room_timout_info> tenantTimeouts() const;

    // "host:port" texts into the tenant table; 0 at the first text without a
    // colon (the entries before it stay), 1 otherwise.
    static int convertTimoutInfo(const std::string* list, int count,
                                 std::array<room_timout_info, ConfigValues::kMaxTenants>& out);

private:
    void publish(const ConfigValues& v);

    mutable std::mutex m_mutex;  // guards m_values, m_shared and m_tenants
    ConfigValues m_values;
    std::shared_ptr<const ConfigValues> m_shared = std::make_shared<const ConfigValues>();
    std::array<room_timout_info, ConfigValues::kMaxTenants> m_tenants;

    std::atomic<int> m_relayAckTimeoutSec{10};
    std::atomic<int> m_resultAckTimeoutSec{30};
    std::atomic<int> m_pushAlarmCount{1};
    std::atomic<int> m_wasTimeoutSec{20};
    std::atomic<int> m_wasMaxRequests{1000};
    std::atomic<int> m_roomTimeoutMin{60};
};
