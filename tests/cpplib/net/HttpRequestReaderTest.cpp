// The request reader of the small HTTP server: what it accepts, where its
// size bound lies, and the status each refusal gets.

#include "net/HttpRequestReader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using state_t = HttpRequestReader::state_t;

// Feeds text in pieces of step bytes; the state after the last piece.
state_t feedInPieces(HttpRequestReader& r, const std::string& text, size_t step) {
    state_t s = state_t::MORE;
    for (size_t i = 0; i < text.size(); i += step) s = r.feed(text.data() + i, std::min(step, text.size() - i));
    return s;
}

struct refusal_t {
    const char* name;
    std::string request;
    int status;
};

class HttpRequestRefusalTest : public ::testing::TestWithParam<refusal_t> {};

}  // namespace

TEST(HttpRequestReaderTest, ReadsAHeadArrivingByteByByte) {
    HttpRequestReader r;
    const std::string head = "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n";
    // Every byte but the last leaves it wanting more, the terminator split included.
    EXPECT_EQ(state_t::MORE, feedInPieces(r, head.substr(0, head.size() - 1), 1));
    EXPECT_EQ(state_t::DONE, r.feed(head.data() + head.size() - 1, 1));
    EXPECT_EQ("GET", r.method());
    EXPECT_EQ("/metrics?x=1", r.target());
    EXPECT_EQ("/metrics", r.path());
    EXPECT_EQ("HTTP/1.1", r.version());
    // Bytes after the head change nothing.
    EXPECT_EQ(state_t::DONE, r.feed("junk", 4));
}

TEST(HttpRequestReaderTest, BareLineFeedsAndAnEmptyBodyAreAccepted) {
    HttpRequestReader r;
    EXPECT_EQ(state_t::DONE, feedInPieces(r, "HEAD /healthz HTTP/1.0\nContent-Length: 0\n\n", 7));
    EXPECT_EQ("HEAD", r.method());
}

// The bound covers the whole head, terminator included: a head of exactly
// the bound is read, one byte more is refused, however it arrives.
TEST(HttpRequestReaderTest, HeadUpToTheBoundIsReadAndOneByteMoreIsRefused) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    const size_t bound = 64;
    const std::string fits = start + std::string(bound - start.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(bound, fits.size());
    for (size_t step : {size_t{1}, size_t{5}, fits.size()}) {
        HttpRequestReader ok(bound);
        EXPECT_EQ(state_t::DONE, feedInPieces(ok, fits, step)) << "step " << step;
        HttpRequestReader over(bound);
        const std::string tooLong = start + std::string(bound - start.size() - 3, 'a') + "\r\n\r\n";
        EXPECT_EQ(state_t::FAILED, feedInPieces(over, tooLong, step)) << "step " << step;
        EXPECT_EQ(431, over.status());
    }
    // A client that never ends its head is refused once it passes the bound.
    HttpRequestReader endless(bound);
    EXPECT_EQ(state_t::FAILED, feedInPieces(endless, std::string(10 * bound, 'a'), 16));
    EXPECT_EQ(431, endless.status());
}

TEST_P(HttpRequestRefusalTest, GetsItsStatus) {
    HttpRequestReader r;
    EXPECT_EQ(state_t::FAILED, r.feed(GetParam().request.data(), GetParam().request.size()));
    EXPECT_EQ(GetParam().status, r.status());
    EXPECT_FALSE(r.reason().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequestRefusalTest,
    ::testing::Values(refusal_t{"NoVersion", "GET /metrics\r\n\r\n", 400},
                      refusal_t{"TwoSpaces", "GET  /metrics HTTP/1.1\r\n\r\n", 400},
                      refusal_t{"TargetNotAPath", "GET metrics HTTP/1.1\r\n\r\n", 400},
                      refusal_t{"ControlInTarget", std::string("GET /a\x01 HTTP/1.1\r\n\r\n"), 400},
                      refusal_t{"NotHttp", "GET / FTP/1.1\r\n\r\n", 400},
                      refusal_t{"HeaderWithoutColon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", 400},
                      refusal_t{"SpaceInHeaderName", "GET / HTTP/1.1\r\nHo st: a\r\n\r\n", 400},
                      refusal_t{"LengthNotANumber", "GET / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400},
                      refusal_t{"Body", "GET / HTTP/1.1\r\nContent-Length: 12\r\n\r\n", 413},
                      refusal_t{"ChunkedBody", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 413},
                      refusal_t{"Http2", "GET / HTTP/2.0\r\n\r\n", 505},
                      refusal_t{"Http09", "GET / HTTP/0.9\r\n\r\n", 505}),
    [](const auto& info) { return std::string(info.param.name); });
