#include "support/RealWas.h"

#include <signal.h>

#include <string>
#include <utility>

#include "support/DaemonHarness.h"

RealWas::RealWas(const TempDir& dir) : m_db(dir.file("was.db")) {}

RealWas::~RealWas() {
    if (!m_process) return;
    m_process->signal(SIGTERM);
    m_process->waitExit(3000);
}

bool RealWas::start() {
    // The port is free when picked but another test may take it first; that
    // start fails fast and the next port is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freeTcpPort();
        if (launch()) return true;
    }
    return false;
}

void RealWas::kill() {
    if (!m_process) return;
    m_process->signal(SIGKILL);
    m_process->waitExit(3000);
}

bool RealWas::restart() {
    return launch();
}

bool RealWas::launch() {
    m_process = std::make_unique<Process>(binPath("tolvex-was"), args());
    return waitFor([&] { return !m_process->running() || canConnect(m_port); }, 10000) && m_process->running();
}

bool RealWas::seed(int rooms, int members) const {
    Process p(binPath("tolvex-was-seed"),
              {"--db", m_db, "--rooms", std::to_string(rooms), "--members", std::to_string(members)});
    return p.waitExit(60000) == 0;
}

std::string RealWas::dump() const {
    Process p(binPath("tolvex-was"), {"--dump", "--db", m_db});
    p.waitExit(10000);
    return p.stdoutText();
}

std::vector<std::string> RealWas::args() const {
    std::vector<std::string> a = {"--db", m_db, "--listen", listenAddress(), "--threads", "2"};
    if (!m_cert.empty()) a.insert(a.end(), {"--cert", m_cert, "--key", m_key});
    const std::pair<const char*, const char*> pages[] = {
        {"--was_save_msg", DaemonHarness::kSaveMsgPage},
        {"--was_mobile_push", DaemonHarness::kMobilePushPage},
        {"--was_leave", DaemonHarness::kLeavePage},
        {"--was_endroom", DaemonHarness::kEndRoomPage},
        {"--was_not_endroom", DaemonHarness::kNotEndRoomPage},
        {"--was_load_room", DaemonHarness::kLoadRoomPage},
        {"--was_update_msgsend", DaemonHarness::kUpdateMsgSendPage},
        {"--was_invite_request", DaemonHarness::kInviteRequestPage},
        {"--was_sendfailuser_request", DaemonHarness::kSendFailUserPage}};
    for (const auto& [option, path] : pages) a.insert(a.end(), {option, path});
    return a;
}
