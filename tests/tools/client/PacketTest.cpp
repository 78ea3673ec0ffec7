// Wire encoding of requests and the cutting of the daemon's byte stream.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

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

TEST(EncodePacketTest, EmptyRequestIsEighteenBytesWithTwoEmptyAddresses) {
    EXPECT_EQ(bytes({0x6C, 0xB7, 0x12, 0x00, 0x90, 0x0C, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              client::encodePacket(client::SERVER_NOT_READY, ""));
}

TEST(EncodePacketTest, HeaderCarriesEtypeTridBodyLengthAndAddresses) {
    client::packet_options_t opts;
    opts.etype = 1;
    opts.trid = 0x01020304;
    opts.to = "abc";
    opts.from = "hello";
    const std::string wire = client::encodePacket(client::USER_JOIN, "xyz", opts);
    EXPECT_EQ(bytes({0x6C, 0xB7, 26, 0, 0x02, 0x0C, 2, 1, 4, 3, 2, 1, 0, 0, 3, 0}), wire.substr(0, 16));
    EXPECT_EQ(std::string("\x03" "abc" "\x05" "hello" "xyz"), wire.substr(16));
}

TEST(EncodePacketTest, BodiesAndAddressesBeyondTheHeaderFieldsAreRefused) {
    EXPECT_NO_THROW(client::encodePacket(client::MSG, std::string(65535, 'a')));
    EXPECT_THROW(client::encodePacket(client::MSG, std::string(65536, 'a')), std::length_error);
    client::packet_options_t opts;
    opts.to = std::string(256, 't');
    EXPECT_THROW(client::encodePacket(client::MSG, "", opts), std::length_error);
}

TEST(EncodePacketTest, FixedHeaderTakesAnyFieldValues) {
    EXPECT_EQ(bytes({0x00, 0x00, 15, 0, 0x01, 0x0C, 9, 7, 1, 0, 0, 0, 2, 0, 0xFF, 0xFF}),
              client::encodeFixedHeader(0, 15, client::ROOM_CREATE, 9, 7, 1, 2, 0xFFFF));
}

// Feeds bytes and collects what the reader hands out.
class FrameReaderTest : public ::testing::Test {
protected:
    FrameReader::Event feedAndNext(const std::string& data) {
        m_reader.feed(data.data(), data.size());
        return m_reader.next(&m_packet);
    }
    FrameReader::Event next() { return m_reader.next(&m_packet); }
    static std::string replyWire(uint16_t code, const std::string& body) {
        return client::encodePacket(code, body);
    }

    FrameReader m_reader;
    Packet m_packet;
};

TEST_F(FrameReaderTest, KeepAliveBytesBetweenPacketsComeOutInOrder) {
    const std::string wire = std::string("\x82\x81") + replyWire(client::ROOM_CREATE_REPLY, "body");
    EXPECT_EQ(FrameReader::Event::kPong, feedAndNext(wire));
    EXPECT_EQ(FrameReader::Event::kPing, next());
    ASSERT_EQ(FrameReader::Event::kPacket, next());
    EXPECT_EQ(client::ROOM_CREATE_REPLY, m_packet.code);
    EXPECT_EQ("body", m_packet.body);
    EXPECT_EQ(FrameReader::Event::kNone, next());
}

TEST_F(FrameReaderTest, PacketSplitOverThreeReadsIsHandedOutOnceComplete) {
    const std::string wire = replyWire(client::USER_JOIN_REPLY, "0123456789");
    EXPECT_EQ(FrameReader::Event::kNone, feedAndNext(wire.substr(0, 10)));
    EXPECT_EQ(FrameReader::Event::kNone, feedAndNext(wire.substr(10, 8)));
    ASSERT_EQ(FrameReader::Event::kPacket, feedAndNext(wire.substr(18)));
    EXPECT_EQ("0123456789", m_packet.body);
    EXPECT_EQ(0u, m_reader.buffered());
}

TEST_F(FrameReaderTest, TwoPacketsInOneReadBothArriveInOrder) {
    const std::string wire = replyWire(client::USER_JOIN_ALARM, "first") + replyWire(client::SESSION_CLOSE, "second");
    ASSERT_EQ(FrameReader::Event::kPacket, feedAndNext(wire));
    EXPECT_EQ("first", m_packet.body);
    ASSERT_EQ(FrameReader::Event::kPacket, next());
    EXPECT_EQ(client::SESSION_CLOSE, m_packet.code);
    EXPECT_EQ("second", m_packet.body);
}

TEST_F(FrameReaderTest, AddressesOfTheVariableHeaderAreReadBack) {
    client::packet_options_t opts;
    opts.to = "to-addr";
    opts.from = "me";
    opts.trid = 9;
    ASSERT_EQ(FrameReader::Event::kPacket, feedAndNext(client::encodePacket(client::USER_JOIN_REPLY, "", opts)));
    EXPECT_EQ("to-addr", m_packet.to);
    EXPECT_EQ("me", m_packet.from);
    EXPECT_EQ(9u, m_packet.trid);
    EXPECT_EQ(27, m_packet.hlen);
    EXPECT_TRUE(m_packet.isReply());
}

TEST_F(FrameReaderTest, ReceivedPacketGivesBackTheBytesItCameAs) {
    client::packet_options_t opts;
    opts.to = "abc";
    opts.etype = 1;
    opts.trid = 77;
    const std::string wire = client::encodePacket(client::USER_ADD_REPLY, "payload", opts);
    ASSERT_EQ(FrameReader::Event::kPacket, feedAndNext(wire));
    EXPECT_EQ(client::toHex(wire), client::toHex(client::wireBytes(m_packet)));
}

TEST_F(FrameReaderTest, LargestBodyIsAccepted) {
    const std::string body(65535, 'z');
    ASSERT_EQ(FrameReader::Event::kPacket, feedAndNext(replyWire(client::MSG_RELAY, body)));
    EXPECT_EQ(65535u, m_packet.blen());
}

TEST_F(FrameReaderTest, HeaderOfSixteenBytesHasNoAddresses) {
    const std::string wire = client::encodeFixedHeader(0xB76C, 16, client::MSG_ACK, 2, 0, 0, 0, 2) + "ok";
    ASSERT_EQ(FrameReader::Event::kPacket, feedAndNext(wire));
    EXPECT_EQ("", m_packet.to);
    EXPECT_EQ("ok", m_packet.body);
}

TEST_F(FrameReaderTest, WrongFirstByteBreaksTheStreamForGood) {
    EXPECT_EQ(FrameReader::Event::kError, feedAndNext(std::string("\x00", 1)));
    EXPECT_FALSE(m_reader.error().empty());
    EXPECT_EQ(FrameReader::Event::kError, feedAndNext(replyWire(client::MSG_ACK, "")));
}

TEST_F(FrameReaderTest, HeaderLengthOutsideSixteenTo532IsAnError) {
    EXPECT_EQ(FrameReader::Event::kError, feedAndNext(client::encodeFixedHeader(0xB76C, 15, 1, 2, 0, 0, 0, 0)));
    FrameReader other;
    const std::string big = client::encodeFixedHeader(0xB76C, 533, 1, 2, 0, 0, 0, 0);
    other.feed(big.data(), big.size());
    EXPECT_EQ(FrameReader::Event::kError, other.next(&m_packet));
}

TEST(DescribeTest, NamesTheCodeAndShowsTheBodyInHex) {
    Packet p;
    p.code = client::USER_JOIN_REPLY;
    p.body = p.wireBody = std::string("\x03\x02", 2);
    const std::string text = client::describe(p);
    EXPECT_NE(std::string::npos, text.find("code=0x8C02"));
    EXPECT_NE(std::string::npos, text.find("body=03 02"));
}

}  // namespace
