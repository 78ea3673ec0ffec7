// tolvex-cli against the pair scripts/run starts (tolvex-was and tolvexd on
// free ports, everything under a temporary directory): the one-shot form
// with its delivery report and exit status, two interactive users chatting
// through pipes with the member counts of invitations, joins and leaves, and
// the script stopping both processes on SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";
const std::string kDave = "dave@corp.example.com";

std::string binDir() {
    const std::string daemon = binPath("tolvexd");
    return daemon.substr(0, daemon.rfind('/'));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Process ids of pid's children, as the kernel lists them.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    return std::vector<pid_t>(std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>());
}

std::string transcript(const Process& p) {
    return "\nstdout:\n" + p.stdoutText() + "stderr:\n" + p.stderrText();
}

bool waitOutput(const Process& p, const std::string& text, int timeoutMs = 10000) {
    return waitFor([&] { return p.stdoutText().find(text) != std::string::npos; }, timeoutMs);
}

class CliEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = freeTcpPort();
        do m_wasPort = freeTcpPort();
        while (m_wasPort == m_port);
        m_run = std::make_unique<Process>(std::string(TOLVEX_SOURCE_DIR) + "/scripts/run",
                                          std::vector<std::string>{"--no-build", "--bin", binDir(), "--port",
                                                                   std::to_string(m_port), "--was-port",
                                                                   std::to_string(m_wasPort), "--var", m_var.path()});
        // Serving: the daemon has its rooms from the WAS.
        ASSERT_TRUE(waitFor([&] { return !m_run->running() || commandLog().find("Loading Room Complete") !=
                                                                  std::string::npos; },
                            30000))
            << transcript(*m_run);
        ASSERT_TRUE(m_run->running()) << transcript(*m_run);
    }
    void TearDown() override {
        m_clis.clear();
        if (m_run && m_run->running()) {
            m_run->signal(SIGTERM);
            m_run->waitExit(15000);
        }
    }

    // Every log file whose name starts with prefix ("zpx_": the command
    // log, "chat_": the chat log).
    std::string log(const std::string& prefix) const {
        std::string text;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(m_var.path() + "/log", ec))
            if (e.path().filename().string().rfind(prefix, 0) == 0) text += readFile(e.path().string());
        return text;
    }
    std::string commandLog() const { return log("zpx_"); }
    bool chatLogHas(const std::string& text) const {
        return waitFor([&] { return log("chat_").find(text) != std::string::npos; }, 5000);
    }

    std::unique_ptr<Process> oneShot(std::vector<std::string> args, bool interactive = false) {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(m_port)});
        return std::make_unique<Process>(binPath("tolvex-cli"), args, "", std::vector<std::string>{}, interactive);
    }
    // An interactive client kept until the end of the test.
    Process& interactive(std::vector<std::string> args) { return *m_clis.emplace_back(oneShot(std::move(args), true)); }

    TempDir m_var;
    int m_port = 0;
    int m_wasPort = 0;
    std::unique_ptr<Process> m_run;
    std::vector<std::unique_ptr<Process>> m_clis;
};

TEST_F(CliEndToEndTest, OneShotReportsTheDeliveryAndSigtermStopsBothProcesses) {
    Process& bob = interactive({"--user", kBob, "--name", "Bob", "--room", "7001", "--create", "--invite", kAlice});
    ASSERT_TRUE(waitOutput(bob, "room 7001: 2 members")) << transcript(bob);

    auto alice = oneShot({"--user", kAlice, "--name", "Alice", "--room", "7001", "--send", "hello from a script",
                          "--wait-result", "--timeout", "15"});
    EXPECT_EQ(0, alice->waitExit(20000)) << transcript(*alice);
    const std::string out = alice->stdoutText();
    // Bob's client acknowledged the relay: delivered (by his PC, or by the
    // push the WAS confirmed first).
    EXPECT_NE(std::string::npos, out.find(" to Bob (" + kBob + "): delivered")) << out;
    EXPECT_NE(std::string::npos, out.find(": 1 of 1 recipient reported\n")) << out;
    EXPECT_TRUE(waitOutput(bob, "Alice (" + kAlice + "): hello from a script")) << transcript(bob);

    const std::vector<pid_t> pair = childrenOf(m_run->pid());
    EXPECT_EQ(2u, pair.size());  // tolvex-was and tolvexd
    ASSERT_TRUE(m_run->signal(SIGTERM));
    EXPECT_EQ(143, m_run->waitExit(15000)) << transcript(*m_run);
    for (pid_t pid : pair) EXPECT_NE(0, kill(pid, 0)) << pid;
    EXPECT_FALSE(canConnect(m_port));
    EXPECT_FALSE(canConnect(m_wasPort));
    EXPECT_NE(std::string::npos, commandLog().find("tolvexd stop time")) << commandLog();
    EXPECT_EQ(1, bob.waitExit(5000)) << transcript(bob);
    EXPECT_NE(std::string::npos, bob.stderrText().find("the server closed the connection")) << transcript(bob);
}

TEST_F(CliEndToEndTest, TwoUsersChatThroughPipesWithTypingFilesAndRemoval) {
    Process& alice = interactive({"--user", kAlice, "--name", "Alice", "--room", "7002", "--create", "--invite", kBob});
    ASSERT_TRUE(waitOutput(alice, "room 7002: 2 members")) << transcript(alice);
    Process& bob = interactive({"--user", kBob, "--name", "Bob", "--room", "7002"});
    ASSERT_TRUE(waitOutput(alice, "* Bob (" + kBob + ") joined")) << transcript(alice);

    ASSERT_TRUE(alice.writeStdin("hello bob\n"));
    EXPECT_TRUE(waitOutput(bob, "Alice (" + kAlice + "): hello bob\n")) << transcript(bob);
    ASSERT_TRUE(bob.writeStdin("/typing\nhi alice\n"));
    EXPECT_TRUE(waitOutput(alice, "* Bob (" + kBob + ") is typing…\n")) << transcript(alice);
    EXPECT_TRUE(waitOutput(alice, "Bob (" + kBob + "): hi alice\n")) << transcript(alice);
    ASSERT_TRUE(alice.writeStdin("/attach plan.pdf 2048 http://files.example.com/plan.pdf\n"));
    EXPECT_TRUE(waitOutput(bob, "Alice (" + kAlice + ") sent a file: plan.pdf (2048 bytes) http://files.example.com/plan.pdf"))
        << transcript(bob);

    // Both of alice's items come back delivered: bob's client acknowledged
    // the relay and the file notice from its PC, and alice acknowledged the
    // reports.
    EXPECT_TRUE(waitOutput(alice, "you: hello bob (#")) << transcript(alice);
    EXPECT_TRUE(waitOutput(alice, "you sent a file: plan.pdf (#")) << transcript(alice);
    EXPECT_TRUE(waitFor([&] {
        const std::string out = alice.stdoutText();
        size_t count = 0;
        for (size_t at = out.find(" to Bob (" + kBob + "): delivered"); at != std::string::npos;
             at = out.find(" to Bob (" + kBob + "): delivered", at + 1))
            ++count;
        return count == 2;
    }, 10000)) << transcript(alice);
    EXPECT_TRUE(chatLogHas(":MSG_RELAY_ACK:" + kBob + ":PC:"));
    EXPECT_TRUE(chatLogHas(":ATTACH_ALARM_RELAY_ACK:" + kBob + ":PC:"));
    EXPECT_TRUE(chatLogHas(":MSG_RESULT_ACK:" + kBob + ":PC:SUCC:" + kAlice + ","));
    EXPECT_TRUE(chatLogHas(":MSG_RELAY_ACK:" + kAlice + ":PC:"));  // bob's message

    // Counts are the members who have not left, as /members lists them.
    // The daemon's own leave out carol once her one-shot disconnects.
    ASSERT_TRUE(alice.writeStdin("/invite " + kCarol + "," + kDave + "\n"));
    EXPECT_TRUE(waitOutput(alice, "* invitation done: 4 members\n")) << transcript(alice);
    EXPECT_EQ(0, oneShot({"--user", kCarol, "--room", "7002", "--send", "hi all"})->waitExit(10000));
    Process& dave = interactive({"--user", kDave, "--name", "Dave", "--room", "7002"});
    EXPECT_TRUE(waitOutput(alice, "* Dave (" + kDave + ") joined (4 members)\n")) << transcript(alice);
    ASSERT_TRUE(dave.writeStdin("/leave\n"));
    EXPECT_TRUE(waitOutput(alice, "* Dave (" + kDave + ") left (3 members)\n")) << transcript(alice);

    ASSERT_TRUE(alice.writeStdin("/kick " + kBob + "\n/kick " + kDave + "\n"));
    EXPECT_TRUE(waitOutput(bob, "* you were removed from room 7002 by Alice (" + kAlice + ")")) << transcript(bob);
    EXPECT_EQ(1, bob.waitExit(5000)) << transcript(bob);
    EXPECT_TRUE(waitOutput(alice, "* Bob (" + kBob + ") left (2 members)\n")) << transcript(alice);
    EXPECT_TRUE(waitOutput(alice, "* you removed Bob (" + kBob + ") from the room")) << transcript(alice);
    ASSERT_TRUE(alice.writeStdin("/members\n"));
    EXPECT_TRUE(waitOutput(alice, "room 7002: 2 members\n  Alice (" + kAlice + ") - you\n  carol (" + kCarol + ")\n"))
        << transcript(alice);

    alice.closeStdin();
    EXPECT_EQ(0, alice.waitExit(8000)) << transcript(alice);
    EXPECT_EQ("tolvex-cli: " + kDave + " is not a member; nothing changed\n", alice.stderrText());
    EXPECT_EQ(std::string::npos, alice.stdoutText().find("you removed Dave")) << transcript(alice);
}

}  // namespace
