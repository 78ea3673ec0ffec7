// The verdict and the two printed forms of a run's report: what makes a run
// unclean, and that the JSON line is valid JSON carrying every figure.

#include <gtest/gtest.h>

#include <string>

#include "FlatJson.h"
#include "bench/BenchReport.h"

namespace {

class BenchReportTest : public ::testing::Test {
protected:
    // A clean run: 10 messages in a room of three, all relayed and reported.
    void SetUp() override {
        m_r.options.rooms = 1;
        m_r.options.members = 3;
        m_r.senders = 1;
        m_r.connections = 3;
        m_r.sent = m_r.accepted = 10;
        m_r.relays = m_r.expectedRelays = m_r.relayAcks = 20;
        m_r.reportedMessages = 10;
        m_r.resultNotices = 11;
        m_r.outcomes[1] = 20;
        m_r.ackSpanSec = m_r.relaySpanSec = 2;
        m_r.ackLatency.record(150);
        m_r.relayLatency.record(300);
    }

    std::map<std::string, std::string> json() const {
        const std::string line = bench::formatJson(m_r);
        const auto parsed = FlatJson::parse(line);
        EXPECT_TRUE(parsed) << line;
        return parsed.value_or(std::map<std::string, std::string>{});
    }

    bench::bench_report_t m_r;
};

TEST_F(BenchReportTest, EveryShortfallMakesTheRunUnclean) {
    EXPECT_TRUE(m_r.clean());
    const bench::bench_report_t good = m_r;
    auto spoiled = [&](auto spoil) {
        m_r = good;
        spoil(m_r);
        return !m_r.clean();
    };
    EXPECT_TRUE(spoiled([](auto& r) { r.lostRelays = 1; }));
    EXPECT_TRUE(spoiled([](auto& r) { r.duplicateRelays = 1; }));
    EXPECT_TRUE(spoiled([](auto& r) { r.orphanRelays = 1; }));
    EXPECT_TRUE(spoiled([](auto& r) { r.unacknowledged = 1; }));
    EXPECT_TRUE(spoiled([](auto& r) { r.reportedMessages = 9; }));
    EXPECT_TRUE(spoiled([](auto& r) { r.errors["closed"] = 1; }));
    EXPECT_TRUE(spoiled([](auto& r) { r.setupError = "room 1: refused"; }));
    // Without relay ACKs the reports may outlast the drain.
    EXPECT_FALSE(spoiled([](auto& r) {
        r.options.relayAck = false;
        r.reportedMessages = 0;
    }));
    // Idle connections the daemon turned away are a finding, not a failure.
    EXPECT_FALSE(spoiled([](auto& r) {
        r.options.idle = 2000;
        r.idleOpen = 980;
        r.idleRefused = 1020;
    }));
}

TEST_F(BenchReportTest, JsonCarriesRatesLatenciesDeliveryAndIdleFigures) {
    EXPECT_FALSE(FlatJson::parse(R"({"a":1,})"));  // the reader is strict
    EXPECT_FALSE(FlatJson::parse(R"({"a":nan})"));
    m_r.options.idle = 40;
    m_r.idleOpen = 30;
    m_r.idleRefused = 10;
    m_r.idleRefusal = "idle \"x\": join: closed by the daemon\n";
    m_r.reportedMessages = 5;
    const auto j = json();
    EXPECT_EQ("5.0", j.at("accepted_per_sec"));
    EXPECT_EQ("10.0", j.at("relays_per_sec"));
    EXPECT_EQ("150", j.at("ack_latency_us.p50"));
    EXPECT_EQ("300", j.at("relay_latency_us.p99.9"));
    EXPECT_EQ("0", j.at("lost_relays"));
    EXPECT_EQ("0.5000", j.at("reported_share"));
    EXPECT_EQ("5", j.at("reported_messages"));
    EXPECT_EQ("20", j.at("outcomes.1"));
    EXPECT_EQ("30", j.at("idle_open"));
    EXPECT_EQ("10", j.at("idle_refused"));
    EXPECT_EQ(1u, j.count("idle_refusal"));
    EXPECT_EQ("false", j.at("clean"));
    EXPECT_EQ("0", j.at("error_count"));
    EXPECT_EQ(0u, j.count("stall.receivers"));
}

TEST_F(BenchReportTest, AStalledReceiverTheServerClosedIsReportedNotFailed) {
    m_r.options.stallReceivers = 1;
    m_r.stall.closedByServer = 1;
    m_r.stall.owedToClosed = 7;
    m_r.stall.during.record(1'500'000);
    EXPECT_TRUE(m_r.clean());
    const auto j = json();
    EXPECT_EQ("1", j.at("stall.closed_by_server"));
    EXPECT_EQ("7", j.at("stall.owed_to_closed"));
    EXPECT_EQ("1500000", j.at("stall.during.p99"));
    EXPECT_EQ("0", j.at("stall.after.count"));
    const std::string text = bench::formatText(m_r);
    EXPECT_NE(std::string::npos, text.find("stalled receivers closed by the server: 1")) << text;
    EXPECT_NE(std::string::npos, text.find("during the stall: 1 relay, p50 1500 p99 1500\n")) << text;
}

TEST_F(BenchReportTest, TextNamesLossTheReportedShareAndLatencyInMilliseconds) {
    m_r.lostRelays = 3;
    m_r.reportedMessages = 9;
    m_r.relayLatency.record(287'400);
    const std::string text = bench::formatText(m_r);
    EXPECT_NE(std::string::npos, text.find("tolvex-bench: 1 room x 3 members, 1 sender,")) << text;
    EXPECT_NE(std::string::npos, text.find("3 lost")) << text;
    EXPECT_NE(std::string::npos, text.find("9 of 10 messages reported for every recipient (90.00 %)")) << text;
    EXPECT_NE(std::string::npos, text.find("send -> MSG_ACK   (ms): p50 0.150 ")) << text;
    EXPECT_NE(std::string::npos, text.find(" max 287 mean 144\n")) << text;
    EXPECT_EQ("4.86 19.5", bench::millisText(4'860) + " " + bench::millisText(19'540));
}

}  // namespace
