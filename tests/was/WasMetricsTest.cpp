// tolvex-was's GET /metrics after a few page requests: requests counted by
// page and result, their latency, and the writes each commit carried.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "WasHarness.h"

namespace {

std::map<std::string, double> samples(const std::string& text) {
    std::map<std::string, double> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        out[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return out;
}

}  // namespace

class WasMetricsTest : public WasLoopbackTest {
protected:
    std::map<std::string, double> scrape() {
        const std::string wire = exchange("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(0u, wire.rfind("HTTP/1.1 200", 0)) << wire.substr(0, 80);
        EXPECT_NE(std::string::npos, wire.find("version=0.0.4"));
        const size_t body = wire.find("\r\n\r\n");
        return samples(body == std::string::npos ? "" : wire.substr(body + 4));
    }
};

TEST_F(WasMetricsTest, CountsRequestsByPageAndResultWithTheirLatencyAndCommits) {
    startWas();
    // The registry is the process's: the other tests' requests count too.
    auto before = scrape();
    save_args_t first;
    save_args_t second;
    second.msgSeq = 2;
    ASSERT_EQ(0, save(first).code);
    ASSERT_EQ(0, save(second).code);
    const was_reply_t refused = postBody("/was/saveMessage", "room_id=18&msg_seq=1");
    ASSERT_GE(refused.code, 400);
    ASSERT_LT(refused.code, 500);
    ASSERT_EQ(0, loadRoom(17).code);

    auto after = scrape();
    const auto delta = [&](const std::string& name) { return after[name] - before[name]; };
    EXPECT_EQ(2, delta("tolvex_was_requests_total{page=\"/was/saveMessage\",result=\"ok\"}"));
    EXPECT_EQ(1, delta("tolvex_was_requests_total{page=\"/was/saveMessage\",result=\"refused\"}"));
    EXPECT_EQ(0, delta("tolvex_was_requests_total{page=\"/was/saveMessage\",result=\"error\"}"));
    EXPECT_EQ(1, delta("tolvex_was_requests_total{page=\"/was/loadRoom\",result=\"ok\"}"));
    EXPECT_EQ(4, delta("tolvex_was_request_duration_seconds_count"));
    EXPECT_EQ(after["tolvex_was_request_duration_seconds_count"],
              after["tolvex_was_request_duration_seconds_bucket{le=\"+Inf\"}"]);
    // Each save was committed, alone or with the other.
    EXPECT_LE(2, delta("tolvex_was_commit_batch_writes_sum"));
    EXPECT_LE(1, delta("tolvex_was_commit_batch_writes_count"));
}
