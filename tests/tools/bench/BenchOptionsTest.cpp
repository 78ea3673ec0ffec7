// The command line of tolvex-bench: defaults, both value spellings, and a
// refusal with a reason for everything out of bounds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/BenchOptions.h"

namespace {

using bench::parseBenchArgs;

class BenchOptionsTest : public ::testing::Test {
protected:
    // Parses the server argument plus extra, expecting success.
    static bench::bench_options_t accepted(std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--server", "127.0.0.1:7000"});
        const auto r = parseBenchArgs(extra);
        EXPECT_TRUE(r.ok) << r.error;
        return r.options;
    }

    // The complaint for the server argument plus extra; empty if accepted.
    static std::string refusal(std::vector<std::string> extra, bool withServer = true) {
        if (withServer) extra.insert(extra.begin(), {"--server", "127.0.0.1:7000"});
        const auto r = parseBenchArgs(extra);
        EXPECT_FALSE(r.ok);
        return r.error;
    }
};

TEST_F(BenchOptionsTest, DefaultsAreOneRoomOfTwoInClosedLoop) {
    const auto o = accepted({});
    EXPECT_EQ("127.0.0.1", o.host);
    EXPECT_EQ(7000, o.port);
    EXPECT_EQ(1, o.rooms);
    EXPECT_EQ(2, o.members);
    EXPECT_EQ(1, bench::effectiveSenders(o));
    EXPECT_EQ(0, o.rate);
    EXPECT_EQ(1, o.window);
    EXPECT_TRUE(o.relayAck);
    EXPECT_FALSE(o.json);
    EXPECT_EQ(0, o.idle);
    // Delivery reports come every two seconds; the drain waits for them.
    EXPECT_GE(o.drainSec, 4.0);
}

TEST_F(BenchOptionsTest, IdleConnectionsAreBoundedApartFromTheLoad) {
    EXPECT_EQ(10000, accepted({"--rooms", "4", "--members", "11", "--idle", "10000"}).idle);
    EXPECT_EQ(bench::kMaxIdle, accepted({"--rooms", "1000", "--members", "10", "--idle=20000"}).idle);
    EXPECT_NE(std::string::npos, refusal({"--idle", "20001"}).find("--idle"));
    EXPECT_NE(std::string::npos, refusal({"--idle", "-1"}).find("--idle"));
}

TEST_F(BenchOptionsTest, ValuesMayFollowOrBeJoinedWithEquals) {
    const auto o = accepted({"--rooms", "4", "--members=11", "--rate", "250.5", "--mobile-share=0.5", "--json",
                             "--no-relay-ack", "--quiet", "--tag", "run-1"});
    EXPECT_EQ(4, o.rooms);
    EXPECT_EQ(11, o.members);
    EXPECT_DOUBLE_EQ(250.5, o.rate);
    EXPECT_DOUBLE_EQ(0.5, o.mobileShare);
    EXPECT_TRUE(o.json);
    EXPECT_FALSE(o.relayAck);
    EXPECT_FALSE(o.progress);
    EXPECT_EQ("run-1", o.tag);
}

TEST_F(BenchOptionsTest, LocalhostMeansTheLoopbackAddress) {
    const auto r = parseBenchArgs({"--server", "localhost:9"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("127.0.0.1", r.options.host);
    EXPECT_EQ(9, r.options.port);
}

TEST_F(BenchOptionsTest, ServerIsRequiredAndMustBeLoopback) {
    EXPECT_NE(std::string::npos, refusal({}, false).find("--server"));
    EXPECT_NE(std::string::npos, refusal({"--server", "10.0.0.1:7000"}, false).find("loopback"));
    EXPECT_NE(std::string::npos, refusal({"--server", "example.com:7000"}, false).find("IPv4"));
    EXPECT_NE(std::string::npos, refusal({"--server", "127.0.0.1"}, false).find("HOST:PORT"));
    EXPECT_NE(std::string::npos, refusal({"--server", "127.0.0.1:70000"}, false).find("outside"));
}

TEST_F(BenchOptionsTest, CountsOutsideTheirBoundsAreRefused) {
    EXPECT_FALSE(refusal({"--members", "1"}).empty());
    EXPECT_FALSE(refusal({"--rooms", "0"}).empty());
    EXPECT_FALSE(refusal({"--rooms", "1001"}).empty());
    EXPECT_FALSE(refusal({"--size", "23"}).empty());
    EXPECT_FALSE(refusal({"--size", "8193"}).empty());
    EXPECT_FALSE(refusal({"--mobile-share", "1.5"}).empty());
    EXPECT_FALSE(refusal({"--rate", "-1"}).empty());
    EXPECT_FALSE(refusal({"--duration", "0"}).empty());
    EXPECT_FALSE(refusal({"--stall-for", "0"}).empty());
}

TEST_F(BenchOptionsTest, StalledReceiversNeedMembersThatDoNotSendAndSendingAfterTheStall) {
    EXPECT_EQ(1, accepted({"--members", "2", "--duration", "21", "--stall-receivers", "1"}).stallReceivers);
    EXPECT_NE(std::string::npos,
              refusal({"--members", "2", "--senders", "2", "--duration", "21", "--stall-receivers", "1"})
                  .find("--stall-receivers"));
    EXPECT_NE(std::string::npos, refusal({"--duration", "20", "--stall-receivers", "1"}).find("--duration"));
}

TEST_F(BenchOptionsTest, MalformedNumbersAreRefused) {
    EXPECT_NE(std::string::npos, refusal({"--rooms", "3x"}).find("whole number"));
    EXPECT_NE(std::string::npos, refusal({"--rooms", ""}).find("whole number"));
    EXPECT_NE(std::string::npos, refusal({"--rate", "fast"}).find("not a number"));
    EXPECT_NE(std::string::npos, refusal({"--rate", "nan"}).find("not a number"));
}

TEST_F(BenchOptionsTest, TotalConnectionsAndSendersAreBounded) {
    EXPECT_NE(std::string::npos, refusal({"--rooms", "1000", "--members", "11"}).find("connections"));
    EXPECT_NE(std::string::npos, refusal({"--rooms", "2", "--members", "3", "--senders", "7"}).find("--senders"));
    EXPECT_EQ(6, bench::effectiveSenders(accepted({"--rooms", "2", "--members", "3", "--senders", "6"})));
}

TEST_F(BenchOptionsTest, UnknownOptionsAndMissingValuesAreNamed) {
    EXPECT_NE(std::string::npos, refusal({"--speed", "3"}).find("--speed"));
    EXPECT_NE(std::string::npos, refusal({"--rooms"}).find("needs a value"));
    EXPECT_NE(std::string::npos, refusal({"--json=yes"}).find("unknown"));
    EXPECT_FALSE(refusal({"--tag", "a b"}).empty());
}

TEST_F(BenchOptionsTest, HelpAndVersionWinOverLaterArguments) {
    const auto h = parseBenchArgs({"--help", "--rooms", "0"});
    EXPECT_TRUE(h.help);
    EXPECT_TRUE(parseBenchArgs({"--version", "--bogus"}).version);
    EXPECT_NE(std::string::npos, bench::usageText().find("--server HOST:PORT"));
}

TEST_F(BenchOptionsTest, RedisPeerHasNoRelayAcksAndRefusesWhatItCannotModel) {
    const auto o = accepted({"--peer", "redis", "--size", "28"});
    EXPECT_EQ(bench::Peer::kRedis, o.peer);
    EXPECT_FALSE(o.relayAck);
    EXPECT_NE(std::string::npos, refusal({"--peer", "redis", "--idle", "10"}).find("--idle"));
    EXPECT_NE(std::string::npos, refusal({"--peer", "redis", "--size", "27"}).find("--size"));
    EXPECT_NE(std::string::npos, refusal({"--peer", "redis", "--stall-receivers", "1"}).find("--stall-receivers"));
    EXPECT_NE(std::string::npos, refusal({"--peer", "memcached"}).find("--peer"));
}

}  // namespace
