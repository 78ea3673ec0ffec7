// One short run of the real tolvex-bench against the real tolvexd: two rooms
// of three members for a second. Every accepted message must reach both
// other members, and the tool must say so in its JSON and its exit status.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/DaemonHarness.h"
#include "support/Process.h"

namespace {

class BenchSmokeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.start()) << m_daemon.startError(); }
    void TearDown() override { EXPECT_EQ(0, m_daemon.stop()) << m_daemon.stderrText(); }

    // Runs tolvex-bench against the daemon; false when it did not end in time.
    bool runBench(std::vector<std::string> args) {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(m_daemon.port()), "--quiet"});
        Process bench(binPath("tolvex-bench"), args);
        m_exit = bench.waitExit(20000);
        m_stdout = bench.stdoutText();
        m_stderr = bench.stderrText();
        return m_exit >= 0;
    }

    // A top-level number of the JSON line, or -1 when absent.
    double jsonNumber(const std::string& key) const {
        const std::string quoted = "\"" + key + "\":";
        const size_t at = m_stdout.find(quoted);
        if (at == std::string::npos) return -1;
        return std::stod(m_stdout.substr(at + quoted.size()));
    }

    std::string transcript() const { return "stdout: " + m_stdout + "\nstderr: " + m_stderr; }

    DaemonHarness m_daemon;
    int m_exit = -1;
    std::string m_stdout;
    std::string m_stderr;
};

TEST_F(BenchSmokeTest, TwoRoomsOfThreeDeliverEveryRelay) {
    ASSERT_TRUE(runBench({"--rooms", "2", "--members", "3", "--duration", "1", "--drain", "2", "--json"}));
    EXPECT_EQ(0, m_exit) << transcript();
    const double accepted = jsonNumber("accepted");
    EXPECT_GT(accepted, 0) << transcript();
    EXPECT_EQ(2 * accepted, jsonNumber("relays")) << transcript();
    EXPECT_EQ(jsonNumber("relays"), jsonNumber("relay_acks")) << transcript();
    EXPECT_EQ(0, jsonNumber("missing_relays")) << transcript();
    EXPECT_EQ(0, jsonNumber("error_count")) << transcript();
    EXPECT_EQ(6, jsonNumber("connections")) << transcript();
}

TEST(BenchSetupTest, UnreachableDaemonEndsWithAReasonAndStatusOne) {
    const int closed = freeTcpPort();
    Process bench(binPath("tolvex-bench"), {"--server", "127.0.0.1:" + std::to_string(closed), "--quiet"});
    EXPECT_EQ(1, bench.waitExit(10000));
    EXPECT_NE(std::string::npos, bench.stdoutText().find("set-up failed: room")) << bench.stdoutText();
}

}  // namespace
