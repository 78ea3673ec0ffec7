// Short runs of the real tolvex-bench against the real tolvexd and the real
// tolvex-was: every accepted message must reach every other member and be
// reported back to its sender, idle connections must stay joined, a select
// daemon past its descriptor ceiling must turn the extra connections away
// without harm, and the tool must say all that in its JSON and exit status.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FlatJson.h"
#include "support/DaemonHarness.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"

namespace {

class BenchSmokeTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_daemon) {
            EXPECT_EQ(0, m_daemon->stop()) << m_daemon->stderrText();
        }
    }

    void startDaemon(const std::string& iotype = "epoll") {
        ASSERT_TRUE(m_was.start());
        DaemonHarness::Options o;
        o.iotype = iotype;
        o.wasAddress = m_was.address();
        o.wasTimeoutSec = 3;
        m_daemon = std::make_unique<DaemonHarness>(o);
        ASSERT_TRUE(m_daemon->start()) << m_daemon->startError();
    }

    // Runs tolvex-bench with --json against the daemon; false when it did not end in time.
    bool runBench(std::vector<std::string> args) {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(m_daemon->port()), "--quiet", "--json"});
        Process bench(binPath("tolvex-bench"), args);
        m_exit = bench.waitExit(60000);
        m_stdout = bench.stdoutText();
        m_stderr = bench.stderrText();
        m_json = FlatJson::parse(m_stdout).value_or(std::map<std::string, std::string>{});
        return m_exit >= 0;
    }

    // A figure of the JSON line, or -1 when absent.
    double number(const std::string& path) const {
        const auto it = m_json.find(path);
        return it == m_json.end() ? -1 : std::stod(it->second);
    }

    std::string transcript() const { return "stdout: " + m_stdout + "\nstderr: " + m_stderr; }

    TempDir m_dir;
    RealWas m_was{m_dir};
    std::unique_ptr<DaemonHarness> m_daemon;
    int m_exit = -1;
    std::string m_stdout;
    std::string m_stderr;
    std::map<std::string, std::string> m_json;
};

TEST_F(BenchSmokeTest, TenRoomsOfTenDeliverAndReportEveryMessage) {
    startDaemon();
    ASSERT_TRUE(runBench({"--rooms", "10", "--members", "10", "--duration", "2"}));
    EXPECT_EQ(0, m_exit) << transcript();
    ASSERT_FALSE(m_json.empty()) << "not JSON: " << transcript();
    for (const char* key : {"accepted_per_sec", "relays_per_sec", "ack_latency_us.p50", "ack_latency_us.p90",
                            "ack_latency_us.p99", "ack_latency_us.p99.9", "relay_latency_us.p50",
                            "relay_latency_us.p90", "relay_latency_us.p99", "relay_latency_us.p99.9",
                            "reported_share", "lost_relays", "error_count"})
        EXPECT_EQ(1u, m_json.count(key)) << key << "\n" << transcript();

    const double accepted = number("accepted");
    EXPECT_GT(accepted, 0) << transcript();
    EXPECT_EQ(accepted, number("sent")) << transcript();
    EXPECT_EQ(9 * accepted, number("relays")) << transcript();
    EXPECT_EQ(number("relays"), number("relay_acks")) << transcript();
    EXPECT_EQ(0, number("lost_relays")) << transcript();
    EXPECT_EQ(0, number("duplicate_relays")) << transcript();
    EXPECT_EQ(accepted, number("reported_messages")) << transcript();
    EXPECT_EQ(1.0, number("reported_share")) << transcript();
    EXPECT_GT(number("accepted_per_sec"), 0) << transcript();
    EXPECT_GT(number("relays_per_sec"), 0) << transcript();
    EXPECT_GT(number("ack_latency_us.p50"), 0) << transcript();
    EXPECT_GE(number("relay_latency_us.p99.9"), number("relay_latency_us.p50")) << transcript();
    EXPECT_EQ(0, number("error_count")) << transcript();
    EXPECT_EQ(100, number("connections")) << transcript();
    // The messages were stored at the WAS, not just relayed.
    EXPECT_NE(std::string::npos, m_was.dump().find("bench.example.com"));
}

TEST_F(BenchSmokeTest, IdleConnectionsJoinTheirRoomsAndStayOpen) {
    startDaemon();
    ASSERT_TRUE(runBench({"--rooms", "1", "--members", "3", "--duration", "1", "--idle", "45"}));
    EXPECT_EQ(0, m_exit) << transcript();
    EXPECT_EQ(45, number("idle_open")) << transcript();
    EXPECT_EQ(0, number("idle_refused")) << transcript();
    EXPECT_EQ(45, number("idle_open_at_end")) << transcript();
    EXPECT_EQ(0, number("lost_relays")) << transcript();
}

// The select poller watches descriptors below 1024 only. Connections past
// that are closed by the daemon at once; the load already running keeps
// going and the tool counts the refusals instead of failing the run.
TEST_F(BenchSmokeTest, SelectDaemonPastItsCeilingRefusesTheExtraConnectionsSafely) {
    rlimit lim{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));
    constexpr rlim_t kNeed = 2500;  // the tool's and the daemon's sockets, with room for WAS requests
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < kNeed) GTEST_SKIP() << "descriptor hard limit too low";
    if (lim.rlim_cur < kNeed) {
        lim.rlim_cur = kNeed;
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));  // inherited by the daemon and the tool
    }
    startDaemon("select");
    ASSERT_TRUE(runBench({"--rooms", "1", "--members", "3", "--rate", "20", "--duration", "1", "--idle", "1100"}));
    EXPECT_EQ(0, m_exit) << transcript();
    EXPECT_GT(number("idle_refused"), 0) << transcript();
    EXPECT_LT(number("idle_open"), 1024) << transcript();
    EXPECT_EQ(1100, number("idle_open") + number("idle_refused")) << transcript();
    EXPECT_EQ(number("idle_open"), number("idle_open_at_end")) << transcript();
    EXPECT_GT(number("accepted"), 0) << transcript();
    EXPECT_EQ(0, number("lost_relays")) << transcript();
    EXPECT_TRUE(m_daemon->running());
}

TEST(BenchSetupTest, UnreachableDaemonEndsWithAReasonAndStatusOne) {
    const int closed = freeTcpPort();
    Process bench(binPath("tolvex-bench"), {"--server", "127.0.0.1:" + std::to_string(closed), "--quiet"});
    EXPECT_EQ(1, bench.waitExit(10000));
    EXPECT_NE(std::string::npos, bench.stdoutText().find("set-up failed: room")) << bench.stdoutText();
}

}  // namespace
