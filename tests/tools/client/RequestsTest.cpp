// The request bodies whose layout is easy to get wrong (sections, counts
// written as given, four-byte lengths, fields after lists), byte for byte
// against an independent little-endian writer.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "client/Packet.h"
#include "client/Requests.h"
#include "LeBytes.h"

namespace {

using Le = LeBytes;

struct request_case_t {
    const char* name;
    std::string encoded;
    std::string expected;
};

void PrintTo(const request_case_t& c, std::ostream* os) { *os << c.name; }

class RequestsTest : public ::testing::TestWithParam<request_case_t> {};

TEST_P(RequestsTest, BodyMatchesTheFieldByFieldWriting) {
    EXPECT_EQ(client::toHex(GetParam().expected), client::toHex(GetParam().encoded));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, RequestsTest,
    ::testing::Values(
        // The invitation section of ROOM_CREATE is a USER_ADD body without its room id.
        request_case_t{"RoomInitWithInvitees",
                       client::encode(client::RoomInitRequest{0x01020304, "alice", "Alice", client::OS_TYPE_PC,
                                                              {{"bob", "Bob"}, {"carol", "Carol"}}, false,
                                                              std::nullopt}),
                       Le().u32(0x01020304).str16("alice").str16("Alice").u16(1).u32(2).str16("bob").str16("Bob")
                           .str16("carol").str16("Carol")},
        request_case_t{"InviteWithDeclaredCount", client::encode(client::InviteRequest{9, {{"bob", "Bob"}}, 51u}),
                       Le().u32(9).u32(51).str16("bob").str16("Bob")},
        request_case_t{"MessageFontHasAFourByteLength",
                       client::encode(client::MsgRequest{11, "alice", "Alice", client::OS_TYPE_PC, "hi", "f", 77, 42,
                                                         client::MSG_STICKER_CODE}),
                       Le().u32(11).str16("alice").str16("Alice").u16(1).str16("hi").u32(1).text("f").u32(77).u32(42)
                           .u8(4)},
        request_case_t{"AttachListsTargetsThenTheFile",
                       client::encode(client::AttachRequest{2, "alice", "A", client::OS_TYPE_PC, 5, 0,
                                                            client::MSG_ATTACH, {"bob", "carol"}, 3, "f.txt", 1000,
                                                            "http://files/f"}),
                       Le().u32(2).str16("alice").str16("A").u16(1).u32(5).u32(0).u8(5).u16(3).str16("bob")
                           .str16("carol").str16("f.txt").u32(1000).str16("http://files/f")},
        request_case_t{"ResultAck", client::encode(client::ResultAck{1, 2, 3, 1, 4}),
                       Le().u32(1).u32(2).u32(3).u16(1).u32(4)},
        // Lengths are written as given, so tests can send what the daemon must refuse.
        request_case_t{"OverLongIdWrittenAsGiven", client::encode(client::JoinRequest{1, std::string(257, 'i'), "", 1}),
                       Le().u32(1).str16(std::string(257, 'i')).str16("").u16(1)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestLimitsTest, BodyBeyondAPacketIsRefused) {
    client::MsgRequest m;
    m.msg = std::string(65535, 'm');
    EXPECT_THROW(client::encode(m), std::length_error);
}

}  // namespace
