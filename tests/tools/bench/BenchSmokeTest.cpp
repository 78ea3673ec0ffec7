// Short runs of the real tolvex-bench against the real tolvexd and the real
// tolvex-was. The tool exits 0 only for a clean run (nothing lost,
// duplicated or unreported, no errors); the figures checked here are the
// ones the verdict does not cover.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/DaemonHarness.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"
#include "support/TestCerts.h"

namespace {

class BenchSmokeTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_daemon) {
            EXPECT_EQ(0, m_daemon->stop()) << m_daemon->stderrText();
        }
    }

    void startDaemon(const std::string& iotype, const std::string& extraCommon = "") {
        ASSERT_TRUE(m_was.start());
        DaemonHarness::Options o;
        o.iotype = iotype;
        o.extraCommon = extraCommon;
        o.wasAddress = m_was.address();
        o.wasTimeoutSec = 3;
        m_daemon = std::make_unique<DaemonHarness>(o);
        ASSERT_TRUE(m_daemon->start()) << m_daemon->startError();
        m_server = "127.0.0.1:" + std::to_string(m_daemon->port());
    }

    // Runs tolvex-bench with --json against the daemon; its exit status.
    int runBench(std::vector<std::string> args) {
        args.insert(args.begin(), {"--server", m_server, "--quiet", "--json"});
        Process bench(binPath("tolvex-bench"), args);
        const int status = bench.waitExit(60000);
        m_output = "stdout: " + bench.stdoutText() + "\nstderr: " + bench.stderrText();
        return status;
    }

    // A top-level figure of the JSON line, or -1 when absent.
    double number(const std::string& key) const {
        const size_t at = m_output.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::strtod(m_output.c_str() + at + key.size() + 3, nullptr);
    }

    TempDir m_dir;
    RealWas m_was{m_dir};
    std::unique_ptr<DaemonHarness> m_daemon;
    std::string m_server;  // where runBench() points the tool
    std::string m_output;
};

// Under the daemon's default flood limits: a paced sender is an honest
// client and must lose nothing to them. The rate stays low enough for a
// ThreadSanitizer build on a busy machine to keep up.
TEST_F(BenchSmokeTest, TenRoomsOfTenDeliverAndReportEveryMessage) {
    startDaemon("epoll");
    ASSERT_EQ(0, runBench({"--rooms", "10", "--members", "10", "--rate", "10", "--duration", "2"})) << m_output;
    const double accepted = number("accepted");
    EXPECT_GT(accepted, 0) << m_output;
    EXPECT_EQ(9 * accepted, number("relays")) << m_output;
    EXPECT_EQ(number("relays"), number("relay_acks")) << m_output;
    EXPECT_EQ(100, number("connections")) << m_output;
    // The messages were stored at the WAS, not just relayed.
    EXPECT_NE(std::string::npos, m_was.dump().find("bench.example.com"));
}

// Every connection over TLS, idle ones included, under the default flood
// limits: large relays span several TLS records per read.
TEST_F(BenchSmokeTest, TlsOnlyDaemonDeliversAndReportsEveryMessage) {
    TestCerts certs;
    const TestCerts::pair_t pair = certs.issue("daemon");
    ASSERT_FALSE(pair.cert.empty()) << certs.error();
    startDaemon("epoll", "<tls_bindaddr>127.0.0.1:0</tls_bindaddr><tls_cert>" + pair.cert + "</tls_cert><tls_key>" +
                             pair.key + "</tls_key><plain_listener>off</plain_listener>");
    std::smatch m;
    const std::string log = m_daemon->commandLog();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("listening for TLS on (127\\.0\\.0\\.1:[0-9]+)"))) << log;
    m_server = m[1];
    ASSERT_EQ(0, runBench({"--tls", "--ca", certs.caFile(), "--rooms", "2", "--members", "10", "--rate", "40",
                           "--size", "4000", "--duration", "2", "--idle", "20"}))
        << m_output;
    EXPECT_GT(number("accepted"), 0) << m_output;
    EXPECT_EQ(20, number("idle_open_at_end")) << m_output;
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
    ASSERT_EQ(0, runBench({"--rooms", "1", "--members", "3", "--rate", "20", "--duration", "1", "--idle", "1100"}))
        << m_output;
    EXPECT_GT(number("idle_refused"), 0) << m_output;
    EXPECT_LT(number("idle_open"), 1024) << m_output;
    EXPECT_EQ(1100, number("idle_open") + number("idle_refused")) << m_output;
    EXPECT_EQ(number("idle_open"), number("idle_open_at_end")) << m_output;
    EXPECT_GT(number("accepted"), 0) << m_output;
    EXPECT_TRUE(m_daemon->running());
}

}  // namespace
