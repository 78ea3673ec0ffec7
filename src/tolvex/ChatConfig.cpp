#include "tolvex/ChatConfig.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cpputil/Config2.h"
#include "cpputil/Trace.h"
#include "tolvex/Globals.h"
#include "tolvex/WasServerTable.h"

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
}

void registerTimeoutList(Config2& cfg, ConfigValues& v) {
    v.timeout_count = ConfigValues::kMaxTenants;
    cfg.setValue("tenant_size", 0, true, Config2::INT, &v.tenant_size);
    cfg.setValue("timeout_list", 0, true, Config2::STRING, v.timeout_list.data(), &v.timeout_count);
}

void registerTrace(Config2& cfg, ConfigValues& v) {
    cfg.setValue("tracelogpath", 0, true, Config2::STRING, &v.tracelogpath);
    cfg.setValue("tracelogsize", 0, true, Config2::INT, &v.tracelogsize);
    cfg.setValue("enabletrace", 0, true, Config2::BOOL, &v.enabletrace);
    cfg.setValue("tracelevel", 0, true, Config2::INT, &v.tracelevel);
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

}  // namespace

bool ChatConfig::readConfig(int argc, char** argv, WasServerTable& was, ConfigReport* report) {
    ConfigValues v = values();
    Config2 cfg;
    cfg.setConfFile(v.config);
    registerCommon(cfg, v);
    const bool commonOk = cfg.readConfig(argc, argv, "tolvexd");
    v.config = cfg.confFile();
    if (report) {
        report->commonOk = commonOk;
        report->unknownOptions = cfg.unknownOptions();
    }
    if (!commonOk) {
        TRACE(TRACE_CRITICAL, "read common config FAIL");
        note(report, format("read common config FAIL: %s", v.config.c_str()));
        publish(v);
        return false;
    }
    TRACE(TRACE_CRITICAL, "read common config OK : %s : %d", v.config.c_str(), v.serverId);
    note(report, format("read common config OK : %s : %d", v.config.c_str(), v.serverId));

    if (readSection(cfg, "room_timeout_list", v, registerTimeoutList)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        convertTimoutInfo(v.timeout_list.data(), v.timeout_count, m_tenants);
    }

    if (!readSection(cfg, "trace", v, registerTrace)) {
        TRACE(TRACE_CRITICAL, "read trace config FAIL");
        publish(v);
        return true;
    }
    applyTrace(v);
    if (!readSection(cfg, "ping", v, [](Config2& c, ConfigValues& x) {
            c.setValue("checkping", 0, true, Config2::BOOL, &x.checkping);
            c.setValue("pingcycle", 0, true, Config2::INT, &x.pingcycle);
        })) {
        TRACE(TRACE_CRITICAL, "ping config FAIL");
        publish(v);
        return true;
    }
    if (!readSection(cfg, "ghost", v, [](Config2& c, ConfigValues& x) {
            c.setValue("checkghost", 0, true, Config2::BOOL, &x.checkghost);
            c.setValue("ghostpingcycle", 0, true, Config2::INT, &x.ghostpingcycle);
        })) {
        TRACE(TRACE_CRITICAL, "read ghost config FAIL");
        publish(v);
        return true;
    }

    const bool wasOk = readSection(cfg, "waslist", v, [&](Config2& c, ConfigValues& x) {
        registerWaslist(c, x, was.size());
    });
    if (report) report->waslistOk = wasOk;
    if (wasOk) {
        was.setSize(v.was_count);
        was.convert2WasInfo(v.was.data(), v.was_count);
        for (int i = 0; i < was.size(); ++i) {
            const wasinfo_t w = was.entry(i);
            note(report, format("WAS %s : %d", w.addr.c_str(), w.port));
        }
        g_strServerID = format("%s-%d", hostName().c_str(), v.serverId);
        TRACE(TRACE_INFO, "server id       : %s", g_strServerID.c_str());
        g_trace.setPrefix(format("tolvexd-%d", v.serverId));
    } else {
        TRACE(TRACE_CRITICAL, "read was config FAIL");
        note(report, "read was config FAIL");
    }
    publish(v);
    return true;
}

ChatConfig::RereadResult ChatConfig::reread(WasServerTable& was, ConfigReport* report) {
    RereadResult result;
    ConfigValues v = values();
    Config2 cfg;
    cfg.setConfFile(v.config);
    TRACE(TRACE_CRITICAL, "config file name:%s", v.config.c_str());

    v.isreadwas = v.isreadping = v.isreadghost = v.isreadtrace = false;
    result.ok = readSection(cfg, "tolvexd", v, [](Config2& c, ConfigValues& x) {
        c.setValue("isreadwas", 0, true, Config2::BOOL, &x.isreadwas);
        c.setValue("isreadping", 0, true, Config2::BOOL, &x.isreadping);
        c.setValue("isreadghost", 0, true, Config2::BOOL, &x.isreadghost);
        c.setValue("isreadtrace", 0, true, Config2::BOOL, &x.isreadtrace);
        registerChangeable(c, x);
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
        const bool ok = readSection(cfg, "ping", v, [](Config2& c, ConfigValues& x) {
            c.setValue("checkping", 0, true, Config2::BOOL, &x.checkping);
            c.setValue("pingcycle", 0, true, Config2::INT, &x.pingcycle);
        });
        note(report, ok ? "Reread ping config OK" : "Reread ping config fail");
        note(report, format("isping:%d, pingCycle:%d", v.checkping, v.pingcycle));
        result.pingChanged = true;
    }
    if (v.isreadghost) {
        const bool ok = readSection(cfg, "ghost", v, [](Config2& c, ConfigValues& x) {
            c.setValue("checkghost", 0, true, Config2::BOOL, &x.checkghost);
            c.setValue("ghostpingcycle", 0, true, Config2::INT, &x.ghostpingcycle);
        });
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = v;
    }
    m_relayAckTimeoutSec = v.msg_relay_ack_timeout_sec;
    m_resultAckTimeoutSec = v.msg_result_ack_timeout_sec;
    m_pushAlarmCount = v.push_alarm_count;
    m_wasTimeoutSec = v.was_timeout_sec;
    m_wasMaxRequests = v.was_max_requests;
    m_roomTimeoutMin = v.room_timeout_min;
}
