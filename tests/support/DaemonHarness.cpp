#include "support/DaemonHarness.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string_view>

#include "support/Process.h"

namespace {

namespace fs = std::filesystem;

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); !what.empty() && pos != std::string::npos; pos = text.find(what, pos + what.size()))
        ++n;
    return n;
}

std::string twoDigits(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

std::string element(const std::string& name, const std::string& value) {
    return "<" + name + ">" + value + "</" + name + ">";
}

}  // namespace

DaemonHarness::DaemonHarness(Options options) : m_options(std::move(options)) {
    fs::create_directory(m_dir.file("log"));
    // No rooms unless a test says otherwise: loading completes with the first page.
    m_was.setReply(kNotEndRoomPage,
                   {200, FakeWas::resultHeader(0) + "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rooms></rooms>"});
}

DaemonHarness::~DaemonHarness() {
    if (running()) stop(3000);
}

bool DaemonHarness::start(int timeoutMs) {
    // The port is free when picked but another test may take it before the
    // daemon binds; that start fails fast and the next port is tried. A
    // restart first tries the port it had: the WAS knows a daemon by its
    // address, and gives it back its rooms only under that address.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (startOnce(timeoutMs, attempt == 0 && m_port > 0)) return true;
        if (running()) return false;  // up but not serving: a real fault
    }
    return false;
}

bool DaemonHarness::startOnce(int timeoutMs, bool samePort) {
    if (!samePort) m_port = freeTcpPort();
    if (m_port <= m_options.serverId) {
        m_startError = "no free port";
        return false;
    }
    const std::string config = m_dir.write("config.xml", configXml());
    // A restart writes into the logs of the earlier run: only new lines count.
    const int banners = countOf(commandLog(), "##### tolvexd start time:");
    const int loaded = countOf(commandLog(), "Loading Room Complete");
    std::vector<std::string> args = {"-c", config, "-n", std::to_string(m_options.serverId)};
    args.insert(args.end(), m_options.args.begin(), m_options.args.end());
    m_process = std::make_unique<Process>(binPath("tolvexd"), args, m_dir.path(), m_options.env);

    // The banner follows the bind; requests wait in the backlog until the
    // loop runs, and the loop runs only after start-up is complete.
    const std::string listening = "listening on port " + std::to_string(m_port);
    const bool up = waitFor(
        [&] { return !m_process->running() || countOf(commandLog(), "##### tolvexd start time:") > banners; },
        timeoutMs);
    // A daemon that serves TLS only opens no plain listener to wait for.
    const auto serving = [&] {
        const std::string log = commandLog();
        return countOf(log, listening) > 0 || countOf(log, "plain listener off") > 0;
    };
    if (up && m_process->running() && serving()) {
        if (!m_options.waitForRooms) return true;
        // A room page that failed (a WAS slow under a sanitizer, say) is asked
        // for again only after was_timeout_sec + 5 s: allow two such retries.
        const int roomsMs = timeoutMs + 2 * (m_options.wasTimeoutSec + 5) * 1000;
        if (waitFor([&] { return !m_process->running() || countOf(commandLog(), "Loading Room Complete") > loaded; },
                    roomsMs) &&
            m_process->running())
            return true;
        const std::string log = commandLog();
        m_startError = "tolvexd did not load its rooms: " + stderrText() + "\ncommand log ends: " +
                       log.substr(log.size() > 2048 ? log.size() - 2048 : 0);
        return false;
    }
    m_startError = "tolvexd did not start: " + stderrText();
    if (m_process->running()) return false;
    m_process.reset();
    return false;
}

int DaemonHarness::stop(int timeoutMs) {
    if (!m_process) return -1;
    m_process->signal(SIGTERM);
    return m_process->waitExit(timeoutMs);
}

void DaemonHarness::kill() {
    if (!m_process) return;
    m_process->signal(SIGKILL);
    m_process->waitExit(5000);
}

bool DaemonHarness::signal(int signo) {
    return running() && m_process->signal(signo);
}

bool DaemonHarness::running() const {
    return m_process && m_process->running();
}

std::string DaemonHarness::stderrText() const {
    return m_process ? m_process->stderrText() : "";
}

std::string DaemonHarness::configXml() const {
    const int configuredPort = m_port - m_options.serverId;
    std::string common = element("servicebindaddr", "127.0.0.1:" + std::to_string(configuredPort)) +
                         element("cmdlogpath", m_dir.file("log")) + element("iotype", m_options.iotype) +
                         element("service_ip", "127.0.0.1") +
                         element("was_timeout_sec", std::to_string(m_options.wasTimeoutSec)) +
                         element("msg_relay_ack_timeout_sec", std::to_string(m_options.relayAckTimeoutSec)) +
                         element("msg_result_ack_timeout_sec", std::to_string(m_options.resultAckTimeoutSec)) +
                         // Tests read a line as soon as its effect shows on the wire.
                         element("log_flush_ms", "0") + m_options.extraCommon;
    const std::string pages =
        element("was_save_msg", kSaveMsgPage) + element("was_mobile_push", kMobilePushPage) +
        element("was_leave", kLeavePage) + element("was_endroom", kEndRoomPage) +
        element("was_not_endroom", kNotEndRoomPage) + element("was_load_room", kLoadRoomPage) +
        element("was_update_msgsend", kUpdateMsgSendPage) + element("was_invite_request", kInviteRequestPage) +
        element("was_sendfailuser_request", kSendFailUserPage);
    std::string servers;
    std::istringstream addresses(m_options.wasAddress.empty() ? m_was.address() : m_options.wasAddress);
    for (std::string address; addresses >> address;) servers += element("was", address);
    return "<?xml version=\"1.0\"?><config>" + element("tolvexd", common) +
           element("trace", element("tracelogpath", "/dev/null")) +
           element("waslist", servers + pages) + m_options.extraSections + "</config>";
}

std::string DaemonHarness::readLogs(const std::string& stem) const {
    // Dated names sort by date, so a log that turned over reads in order.
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_dir.file("log"), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(stem + ".", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += m_dir.read("log/" + name);
    return text;
}

std::string DaemonHarness::commandLog() const {
    return readLogs("zpx_" + twoDigits(m_options.serverId));
}

std::string DaemonHarness::statLog() const {
    return readLogs("zpxstat_" + twoDigits(m_options.serverId));
}

std::string DaemonHarness::chatLog() const {
    return readLogs("chat_" + twoDigits(m_options.serverId));
}

int DaemonHarness::countInCommandLog(const std::string& text) const {
    return countOf(commandLog(), text);
}

bool DaemonHarness::waitForCommandLog(const std::string& text, int count, int timeoutMs) const {
    return waitFor([&] { return countOf(commandLog(), text) >= count; }, timeoutMs);
}
