// The metrics listener of the real tolvexd: the counters follow the traffic,
// /healthz follows room loading, and requests it refuses get their status
// while the chat clients of the same daemon go on being served.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "ChatLoopback.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

struct http_answer_t {
    int status = 0;  // 0: closed without a reply
    std::string body;
};

// Sends raw request bytes and reads until the daemon closes the connection.
http_answer_t httpExchange(int port, const std::string& request) {
    http_answer_t answer;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0) ::close(fd);
        return answer;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // a refusal may close before everything is sent
        sent += static_cast<size_t>(n);
    }
    std::string in;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (std::chrono::steady_clock::now() >= deadline || ::poll(&p, 1, 200) < 0) break;
        if (!p.revents) continue;
        char buf[16384];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (in.rfind("HTTP/1.1 ", 0) == 0) answer.status = std::atoi(in.c_str() + 9);
    const size_t bodyAt = in.find("\r\n\r\n");
    if (bodyAt != std::string::npos) answer.body = in.substr(bodyAt + 4);
    return answer;
}

http_answer_t get(int port, const std::string& path) {
    return httpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

// Every sample of an exposition by its name with labels ("a{b=\"c\"}");
// comment lines are checked for shape on the way.
std::map<std::string, double> samples(const std::string& text) {
    std::map<std::string, double> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# ", 0) == 0) {
            EXPECT_TRUE(line.rfind("# HELP tolvexd_", 0) == 0 || line.rfind("# TYPE tolvexd_", 0) == 0) << line;
            continue;
        }
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) {
            ADD_FAILURE() << "not a sample: " << line;
            continue;
        }
        out[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return out;
}

// The port the daemon's command log says it serves metrics on; 0 if none.
int metricsPort(const DaemonHarness& d) {
    std::smatch m;
    const std::string log = d.commandLog();
    static const std::regex line("metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics");
    return std::regex_search(log, m, line) ? std::stoi(m[1]) : 0;
}

}  // namespace

class MetricsTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() {
        startDaemon({.relayAckTimeoutSec = 1,
                     .extraCommon = "<metrics_bindaddr>127.0.0.1:0</metrics_bindaddr>",
                     .env = {"TOLVEXD_TEST_STAT_INTERVAL_SEC=1"}});
    }
    void SetUp() override {
        ChatLoopbackTest::SetUp();
        m_port = metricsPort(daemon());
        ASSERT_NE(0, m_port) << daemon().commandLog();
    }

    std::map<std::string, double> scrape() {
        const http_answer_t a = get(m_port, "/metrics");
        EXPECT_EQ(200, a.status);
        return samples(a.body);
    }
    // Scrapes until name has grown by at least by since before (10 s at most).
    double waitForGrowth(const std::map<std::string, double>& before, const std::string& name, double by) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        double now = 0;
        for (;;) {
            now = scrape()[name];
            if (now - value(before, name) >= by || std::chrono::steady_clock::now() >= deadline) return now;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    static double value(const std::map<std::string, double>& m, const std::string& name) {
        const auto it = m.find(name);
        return it == m.end() ? 0 : it->second;
    }

    int m_port = 0;
};

// Alice sends four messages to bob and carol: bob acknowledges each relay,
// carol none. Eight relays go out, four ACKs match, four time out, and the
// outcomes split the same way.
TEST_F(MetricsTest, CountersFollowTheTrafficOfARoom) {
    const auto before = scrape();
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob, kCarol});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    Client& carol = joinAs(room, kCarol, client::OS_TYPE_PC);
    const auto joined = scrape();
    EXPECT_EQ(value(before, "tolvexd_sessions{device=\"pc\"}") + 3, value(joined, "tolvexd_sessions{device=\"pc\"}"));
    EXPECT_EQ(value(before, "tolvexd_rooms") + 1, value(joined, "tolvexd_rooms"));
    EXPECT_EQ(value(before, "tolvexd_room_members") + 3, value(joined, "tolvexd_room_members"));
    EXPECT_EQ(1, value(joined, "tolvexd_rooms_loaded"));

    for (int i = 0; i < 4; ++i) {
        const uint32_t n = say(alice, room, kAlice, "line " + std::to_string(i));
        ASSERT_NE(0u, n);
        ASSERT_TRUE(bob.waitFor(client::MSG_RELAY));
        ASSERT_TRUE(carol.waitFor(client::MSG_RELAY));
        bob.sendRelayAck({room, n, kBob, 9, client::OS_TYPE_PC});
    }
    ASSERT_TRUE(bob.ping());

    const std::string timeouts = "tolvexd_relay_ack_timeouts_total";
    EXPECT_EQ(value(before, timeouts) + 4, waitForGrowth(before, timeouts, 4));
    const std::string delivered = "tolvexd_outcomes_total{code=\"1\"}";
    waitForGrowth(before, delivered, 4);
    waitForGrowth(before, "tolvexd_outcomes_total{code=\"10\"}", 4);
    const auto after = scrape();
    const auto delta = [&](const std::string& name) { return value(after, name) - value(before, name); };
    EXPECT_EQ(4, delta("tolvexd_received_total{kind=\"message\"}"));
    EXPECT_EQ(8, delta("tolvexd_relays_sent_total{kind=\"message\"}"));
    EXPECT_EQ(4, delta("tolvexd_relay_acks_matched_total"));
    EXPECT_EQ(4, delta(delivered));
    EXPECT_EQ(4, delta("tolvexd_outcomes_total{code=\"10\"}"));
    EXPECT_EQ(0, delta("tolvexd_outcomes_total{code=\"11\"}"));
    // One save per message at least (the room's own notices are saved too).
    EXPECT_LE(4, delta("tolvexd_was_requests_started_total{page=\"" + std::string(DaemonHarness::kSaveMsgPage) + "\"}"));
    EXPECT_EQ(value(after, "tolvexd_loop_pass_seconds_count"), value(after, "tolvexd_loop_pass_seconds_bucket{le=\"+Inf\"}"));
    EXPECT_LT(value(before, "tolvexd_loop_pass_seconds_count"), value(after, "tolvexd_loop_pass_seconds_count"));

    // The statistics log carries the same figures a line at a time.
    ASSERT_TRUE(daemon().waitForCommandLog("send result:", 8));
    const auto statDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const std::string want = "received_message=" + std::to_string(static_cast<long>(value(after, "tolvexd_received_total{kind=\"message\"}")));
    while (daemon().statLog().find(want) == std::string::npos && std::chrono::steady_clock::now() < statDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(std::string::npos, daemon().statLog().find(want)) << daemon().statLog();
}

// Refused requests get their status and a one-line reason; a connection past
// the cap is closed unanswered. None of it reaches the chat client beside them.
TEST_F(MetricsTest, RefusedRequestsGetTheirStatusWhileClientsAreServed) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);

    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"malformed request line", "GARBAGE\r\n\r\n", 400},
        {"header without a colon", "GET /metrics HTTP/1.1\r\nnot a header\r\n\r\n", 400},
        {"head past 8 KiB", "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\n\r\n", 431},
        {"request with a body", "GET /metrics HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody", 413},
        {"another method", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
        {"another path", "GET /status HTTP/1.1\r\n\r\n", 404},
        {"another version", "GET /metrics HTTP/2.0\r\n\r\n", 505},
    };
    for (const auto& c : cases) {
        const http_answer_t a = httpExchange(m_port, c.request);
        EXPECT_EQ(c.status, a.status) << c.what;
        EXPECT_FALSE(a.body.empty()) << c.what;
        EXPECT_EQ(a.body.find('\n'), a.body.size() - 1) << c.what << ": one line: " << a.body;
        ASSERT_NE(0u, say(alice, room, kAlice, c.what)) << "alice not served after: " << c.what;
        ASSERT_TRUE(bob.waitFor(client::MSG_RELAY)) << "bob not served after: " << c.what;
    }

    // Sixteen idle connections hold every slot; the next is closed at once.
    std::vector<int> idle;
    for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(m_port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
        idle.push_back(fd);
    }
    ASSERT_NE(0u, say(alice, room, kAlice, "while the slots are taken"));  // the loop accepted them all
    EXPECT_EQ(0, get(m_port, "/metrics").status);
    for (int fd : idle) ::close(fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    http_answer_t again;
    while ((again = get(m_port, "/metrics")).status == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(200, again.status);
    EXPECT_LE(1, samples(again.body)["tolvexd_metrics_connections_refused_total"]);
    expectQuiet(alice, "alice");
}

// /healthz says 503 while the room list is out at the WAS, and 200 once it
// has come back and the rooms are loaded.
class HealthCheckTest : public ::testing::Test {};

TEST_F(HealthCheckTest, AnswersUnavailableWhileRoomsLoadThenOk) {
    DaemonHarness d({.extraCommon = "<metrics_bindaddr>127.0.0.1:0</metrics_bindaddr>", .waitForRooms = false});
    d.was().hold(DaemonHarness::kNotEndRoomPage);
    ASSERT_TRUE(d.start()) << d.startError();
    const int port = metricsPort(d);
    ASSERT_NE(0, port) << d.commandLog();
    ASSERT_TRUE(d.was().waitForRequests(1));

    const http_answer_t loading = get(port, "/healthz");
    EXPECT_EQ(503, loading.status);
    EXPECT_NE(std::string::npos, loading.body.find("loading")) << loading.body;
    EXPECT_EQ(0, samples(get(port, "/metrics").body)["tolvexd_rooms_loaded"]);

    d.was().release(DaemonHarness::kNotEndRoomPage);
    ASSERT_TRUE(d.waitForCommandLog("Loading Room Complete")) << d.commandLog();
    const http_answer_t ready = get(port, "/healthz");
    EXPECT_EQ(200, ready.status);
    EXPECT_EQ(1, samples(get(port, "/metrics").body)["tolvexd_rooms_loaded"]);
    EXPECT_EQ(0, d.stop());
}
