// The verdict of a run (the tool's exit status) and the figures its JSON and
// text forms carry.

#include <gtest/gtest.h>

#include <string>

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
    // Idle connections the daemon turned away, and a stalled receiver it
    // closed, are findings, not failures.
    EXPECT_FALSE(spoiled([](auto& r) {
        r.options.idle = 2000;
        r.idleOpen = 980;
        r.idleRefused = 1020;
    }));
    EXPECT_FALSE(spoiled([](auto& r) {
        r.options.stallReceivers = 1;
        r.stall.closedByServer = 1;
        r.stall.owedToClosed = 7;
    }));
}

}  // namespace
