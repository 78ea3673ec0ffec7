// tolvex-cli against the pair scripts/run starts (tolvex-was and tolvexd on
// free ports, everything under a temporary directory): the one-shot form
// with its delivery report and exit status, two interactive users chatting
// through pipes with the member counts of invitations, joins and leaves,
// refused joins and creations, an unreachable, still loading or foreign
// server, and the script stopping both processes on SIGTERM.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cpplib/net/SocketHelpers.h"
#include "support/DaemonHarness.h"
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
    std::vector<pid_t> pids;
    for (pid_t child; in >> child;) pids.push_back(child);
    return pids;
}

bool alive(pid_t pid) {
    return kill(pid, 0) == 0;
}

std::string transcript(const Process& p) {
    return "\nstdout:\n" + p.stdoutText() + "stderr:\n" + p.stderrText();
}

bool waitOutput(const Process& p, const std::string& text, int timeoutMs = 10000) {
    return waitFor([&] { return p.stdoutText().find(text) != std::string::npos; }, timeoutMs);
}

std::unique_ptr<Process> startCli(int port, std::vector<std::string> args, bool interactive) {
    args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(port)});
    return std::make_unique<Process>(binPath("tolvex-cli"), args, "", std::vector<std::string>{}, interactive);
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

    // An interactive client kept until the end of the test.
    Process& interactive(std::vector<std::string> args) {
        m_clis.push_back(startCli(m_port, std::move(args), true));
        return *m_clis.back();
    }
    std::unique_ptr<Process> oneShot(std::vector<std::string> args) { return startCli(m_port, std::move(args), false); }

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
    EXPECT_NE(std::string::npos, out.find("room 7001: 2 members, one-to-one\n  Alice (" + kAlice + ") - you\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("you: hello from a script (#")) << out;
    // Bob's client acknowledged the relay: delivered (by his PC, or by the
    // push the WAS confirmed first).
    EXPECT_NE(std::string::npos, out.find(" to Bob (" + kBob + "): delivered")) << out;
    EXPECT_NE(std::string::npos, out.find(": 1 of 1 recipient reported\n")) << out;
    EXPECT_TRUE(waitOutput(bob, "Alice (" + kAlice + "): hello from a script")) << transcript(bob);

    const std::vector<pid_t> pair = childrenOf(m_run->pid());
    EXPECT_EQ(2u, pair.size());  // tolvex-was and tolvexd
    ASSERT_TRUE(m_run->signal(SIGTERM));
    EXPECT_EQ(143, m_run->waitExit(15000)) << transcript(*m_run);
    for (pid_t pid : pair) EXPECT_FALSE(alive(pid)) << pid;
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

TEST_F(CliEndToEndTest, RefusedJoinsSayWhatTheResultMeans) {
    Process& alice = interactive({"--user", kAlice, "--room", "7003", "--create", "--invite", kBob});
    ASSERT_TRUE(waitOutput(alice, "room 7003: 2 members")) << transcript(alice);

    // Creating it again shows who is there and sends nothing. (Mobile, so as
    // not to replace alice's PC connection.)
    auto again = oneShot({"--user", kAlice, "--mobile", "--room", "7003", "--create", "--send", "hello?"});
    EXPECT_EQ(1, again->waitExit(10000)) << transcript(*again);
    EXPECT_NE(std::string::npos, again->stdoutText().find("room 7003: 2 members")) << transcript(*again);
    EXPECT_EQ(std::string::npos, again->stdoutText().find("you: hello?")) << transcript(*again);
    EXPECT_NE(std::string::npos, again->stderrText().find("room 7003 already exists")) << transcript(*again);

    auto stranger = oneShot({"--user", "mallory@corp.example.com", "--room", "7003"});
    EXPECT_EQ(1, stranger->waitExit(10000));
    EXPECT_EQ("tolvex-cli: cannot join room 7003: not a member of this room: a member must invite you first "
              "(result 120)\n",
              stranger->stderrText());

    ASSERT_TRUE(alice.writeStdin("/kick " + kBob + "\n"));
    ASSERT_TRUE(waitOutput(alice, "* you removed bob"));
    auto left = oneShot({"--user", kBob, "--room", "7003", "--send", "still here?"});
    EXPECT_EQ(1, left->waitExit(10000));
    EXPECT_NE(std::string::npos, left->stderrText().find("not invited: you left this room")) << transcript(*left);
    EXPECT_NE(std::string::npos, left->stderrText().find("(result 110)")) << transcript(*left);

    // No such room anywhere: the daemon asks the WAS on every join and never answers.
    auto lost = oneShot({"--user", kBob, "--room", "7999"});
    EXPECT_EQ(1, lost->waitExit(15000));
    EXPECT_NE(std::string::npos, lost->stderrText().find("cannot join room 7999: room not found (result 100"))
        << transcript(*lost);
}

TEST(CliServerTest, UnreachableServerIsNamedWithStatusThree) {
    const int closed = freeTcpPort();
    auto cli = startCli(closed, {"--user", kAlice, "--room", "1", "--send", "anyone?"}, false);
    EXPECT_EQ(3, cli->waitExit(10000));
    EXPECT_EQ("tolvex-cli: cannot reach the server at 127.0.0.1:" + std::to_string(closed) + ": Connection refused\n",
              cli->stderrText());
}

TEST(CliServerTest, ServerThatIsNotTolvexdEndsWithStatusSix) {
    // Never accepted: the kernel completes the connection, nothing answers,
    // not even a ping.
    const UniqueFd silent = boundTcpSocket(true);
    auto cli = startCli(localPort(silent.get()), {"--user", kAlice, "--room", "1", "--send", "anyone?"}, false);
    EXPECT_EQ(6, cli->waitExit(10000)) << transcript(*cli);
    EXPECT_NE(std::string::npos, cli->stderrText().find("does not answer like tolvexd: neither the join nor"))
        << transcript(*cli);

    // An HTTP server's answer to the join is no packet.
    const UniqueFd http = boundTcpSocket(true);
    cli = startCli(localPort(http.get()), {"--user", kAlice, "--room", "1", "--send", "anyone?"}, false);
    pollfd pending{http.get(), POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pending, 1, 10000));
    const UniqueFd peer(::accept(http.get(), nullptr, nullptr));
    const std::string reply = "HTTP/1.1 400 Bad Request\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(reply.size()), ::send(peer.get(), reply.data(), reply.size(), MSG_NOSIGNAL));
    EXPECT_EQ(6, cli->waitExit(10000)) << transcript(*cli);
    EXPECT_NE(std::string::npos, cli->stderrText().find("its reply is not a valid packet")) << transcript(*cli);
}

TEST(CliServerTest, ServerStillLoadingRoomsEndsWithStatusFour) {
    DaemonHarness::Options o;
    o.waitForRooms = false;
    DaemonHarness daemon(o);
    daemon.was().neverAnswer(DaemonHarness::kNotEndRoomPage);
    ASSERT_TRUE(daemon.start()) << daemon.startError();
    auto cli = startCli(daemon.port(), {"--user", kAlice, "--room", "1"}, true);
    EXPECT_EQ(4, cli->waitExit(10000));
    EXPECT_NE(std::string::npos, cli->stderrText().find("still loading its rooms (notice 0x8C90)")) << transcript(*cli);
    cli.reset();
    EXPECT_EQ(0, daemon.stop(10000));
}

TEST(CliVersionTest, VersionAndUsage) {
    Process version(binPath("tolvex-cli"), {"--version"});
    EXPECT_EQ(0, version.waitExit());
    EXPECT_EQ("tolvex-cli " TOLVEX_VERSION "\n", version.stdoutText());
    Process usage(binPath("tolvex-cli"), {"--user", kAlice});
    EXPECT_EQ(2, usage.waitExit());
    EXPECT_EQ("tolvex-cli: missing --server (tolvex-cli --help lists the options)\n", usage.stderrText());
}

}  // namespace
