// Wire encoding of requests and the cutting of the daemon's byte stream.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "client/FrameReader.h"
#include "client/Packet.h"
#include "client/Protocol.h"

namespace {

using client::FrameReader;
using client::Packet;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

using Opts = client::packet_options_t;  // etype, trid, to, from

struct encode_case_t {
    const char* name;
    std::string wire;      // what the library wrote
    std::string expected;  // golden bytes
};

void PrintTo(const encode_case_t& c, std::ostream* os) { *os << c.name; }

class EncodePacketTest : public ::testing::TestWithParam<encode_case_t> {};

TEST_P(EncodePacketTest, WritesTheGoldenBytes) {
    EXPECT_EQ(client::toHex(GetParam().expected), client::toHex(GetParam().wire));
}

INSTANTIATE_TEST_SUITE_P(
    Golden, EncodePacketTest,
    ::testing::Values(
        encode_case_t{"EmptyRequestHasTwoEmptyAddresses", client::encodePacket(client::SERVER_NOT_READY, ""),
                      bytes({0x6C, 0xB7, 0x12, 0x00, 0x90, 0x0C, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        encode_case_t{"HeaderCarriesEtypeTridLengthsAndAddresses",
                      client::encodePacket(client::USER_JOIN, "xyz", Opts{1, 0x01020304, "abc", "hello"}),
                      bytes({0x6C, 0xB7, 26, 0, 0x02, 0x0C, 2, 1, 4, 3, 2, 1, 0, 0, 3, 0}) +
                          "\x03" "abc" "\x05" "hello" "xyz"},
        encode_case_t{"FixedHeaderTakesAnyFieldValues",
                      client::encodeFixedHeader(0, 15, client::ROOM_CREATE, 9, 7, 1, 2, 0xFFFF),
                      bytes({0x00, 0x00, 15, 0, 0x01, 0x0C, 9, 7, 1, 0, 0, 0, 2, 0, 0xFF, 0xFF})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EncodePacketLimitsTest, BodiesAndAddressesBeyondTheHeaderFieldsAreRefused) {
    EXPECT_NO_THROW(client::encodePacket(client::MSG, std::string(65535, 'a'), Opts{0, 0, std::string(255, 't'), ""}));
    EXPECT_THROW(client::encodePacket(client::MSG, std::string(65536, 'a')), std::length_error);
    EXPECT_THROW(client::encodePacket(client::MSG, "", Opts{0, 0, std::string(256, 't'), ""}), std::length_error);
}

// The stream fed in pieces, and every item the reader hands out after each
// piece: "ping", "pong", "error" or "CODE/to/from/body" (long bodies by size).
struct stream_case_t {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> items;
};

std::string itemText(FrameReader::Event e, const Packet& p) {
    switch (e) {
        case FrameReader::Event::kPing: return "ping";
        case FrameReader::Event::kPong: return "pong";
        case FrameReader::Event::kError: return "error";
        default: break;
    }
    char code[8];
    snprintf(code, sizeof code, "%04X", p.code);
    const std::string body = p.body.size() > 16 ? std::to_string(p.body.size()) + " bytes" : p.body;
    return std::string(code) + "/" + p.to + "/" + p.from + "/" + body;
}

void PrintTo(const stream_case_t& c, std::ostream* os) { *os << c.name; }

class FrameReaderStreamTest : public ::testing::TestWithParam<stream_case_t> {};

TEST_P(FrameReaderStreamTest, HandsOutEachCompleteItemInOrder) {
    FrameReader reader;
    Packet packet;
    std::vector<std::string> items;
    for (const std::string& piece : GetParam().pieces) {
        reader.feed(piece.data(), piece.size());
        for (FrameReader::Event e; (e = reader.next(&packet)) != FrameReader::Event::kNone;) {
            items.push_back(itemText(e, packet));
            if (e == FrameReader::Event::kError) break;  // sticky: checked once per piece
        }
    }
    EXPECT_EQ(GetParam().items, items);
}

const std::string kJoinReply = client::encodePacket(client::USER_JOIN_REPLY, "0123456789");

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameReaderStreamTest,
    ::testing::Values(
        stream_case_t{"KeepAliveBytesBetweenPackets",
                      {"\x82\x81" + client::encodePacket(client::ROOM_CREATE_REPLY, "body")},
                      {"pong", "ping", "8C01///body"}},
        stream_case_t{"PacketSplitOverThreeReads",
                      {kJoinReply.substr(0, 10), kJoinReply.substr(10, 8), kJoinReply.substr(18)},
                      {"8C02///0123456789"}},
        stream_case_t{"TwoPacketsInOneRead",
                      {client::encodePacket(client::USER_JOIN_ALARM, "first") +
                       client::encodePacket(client::SESSION_CLOSE, "second")},
                      {"0C03///first", "0C34///second"}},
        stream_case_t{"LargestBody", {client::encodePacket(client::MSG_RELAY, std::string(65535, 'z'))},
                      {"0C11///65535 bytes"}},
        stream_case_t{"HeaderOfSixteenBytesHasNoAddresses",
                      {client::encodeFixedHeader(0xB76C, 16, client::MSG_ACK, 2, 0, 0, 0, 2) + "ok"},
                      {"8C10///ok"}},
        stream_case_t{"WrongFirstByteBreaksTheStreamForGood",
                      {std::string("\x00", 1), client::encodePacket(client::MSG_ACK, "")},
                      {"error", "error"}},
        stream_case_t{"HeaderLengthFifteen", {client::encodeFixedHeader(0xB76C, 15, 1, 2, 0, 0, 0, 0)}, {"error"}},
        stream_case_t{"HeaderLength533", {client::encodeFixedHeader(0xB76C, 533, 1, 2, 0, 0, 0, 0)}, {"error"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameReaderTest, ReceivedPacketKeepsItsHeaderFieldsAndGivesBackItsBytes) {
    const std::string wire = client::encodePacket(client::USER_JOIN_REPLY, "payload", Opts{1, 9, "to-addr", "me"});
    FrameReader reader;
    reader.feed(wire.data(), wire.size());
    Packet p;
    ASSERT_EQ(FrameReader::Event::kPacket, reader.next(&p));
    EXPECT_EQ("to-addr", p.to);
    EXPECT_EQ("me", p.from);
    EXPECT_EQ(9u, p.trid);
    EXPECT_EQ(1, p.etype);
    EXPECT_EQ(27, p.hlen);
    EXPECT_TRUE(p.isReply());
    EXPECT_EQ(client::toHex(wire), client::toHex(client::wireBytes(p)));
    EXPECT_EQ(0u, reader.buffered());
}

}  // namespace
