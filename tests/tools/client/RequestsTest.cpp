// Request bodies, byte for byte, against an independent little-endian writer.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "client/Packet.h"
#include "client/Requests.h"
#include "LeBytes.h"

namespace {

using Le = LeBytes;

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(client::toHex(std::string(expected)), client::toHex(actual))

TEST(RequestsTest, JoinAndLeaveShareTheMemberLayout) {
    client::JoinRequest join{7, "bob@x.example.com", "Bob", client::OS_TYPE_MOBILE};
    EXPECT_BYTES(Le().u32(7).str16("bob@x.example.com").str16("Bob").u16(2), client::encode(join));
    client::LeaveRequest leave{7, "bob", "Bob", client::OS_TYPE_PC};
    EXPECT_BYTES(Le().u32(7).str16("bob").str16("Bob").u16(1), client::encode(leave));
}

TEST(RequestsTest, RoomInitWithoutInviteesEndsAfterTheOsType) {
    client::RoomInitRequest init;
    init.roomId = 0x01020304;
    init.creatorId = "alice";
    init.creatorName = "Alice";
    EXPECT_BYTES(Le().u32(0x01020304).str16("alice").str16("Alice").u16(1), client::encode(init));
}

TEST(RequestsTest, RoomInitInvitationSectionIsAnInviteBodyWithoutTheRoomId) {
    client::RoomInitRequest init;
    init.roomId = 5;
    init.creatorId = "alice";
    init.creatorName = "Alice";
    init.invitees = {{"bob", "Bob"}, {"carol", "Carol"}};
    const std::string head = Le().u32(5).str16("alice").str16("Alice").u16(1);
    const std::string section = Le().u32(2).str16("bob").str16("Bob").str16("carol").str16("Carol");
    EXPECT_BYTES(head + section, client::encode(init));

    client::InviteRequest invite{5, init.invitees, std::nullopt};
    EXPECT_BYTES(Le().u32(5).text(section), client::encode(invite));
}

TEST(RequestsTest, DeclaredInviteeCountReplacesTheRealOne) {
    client::InviteRequest invite{9, {{"bob", "Bob"}}, 51u};
    EXPECT_BYTES(Le().u32(9).u32(51).str16("bob").str16("Bob"), client::encode(invite));
    client::RoomInitRequest init;
    init.withInvitationSection = true;
    EXPECT_BYTES(Le().u32(0).str16("").str16("").u16(1).u32(0), client::encode(init));
}

TEST(RequestsTest, ForceLeaveNamesBothMembers) {
    client::ForceLeaveRequest r{3, "alice", "Alice", 1, "bob", "Bob"};
    EXPECT_BYTES(Le().u32(3).str16("alice").str16("Alice").u16(1).str16("bob").str16("Bob"), client::encode(r));
}

TEST(RequestsTest, MessageFontHasAFourByteLengthAndTheTypeComesLast) {
    client::MsgRequest m;
    m.roomId = 11;
    m.fromId = "alice";
    m.fromName = "Alice";
    m.msg = "hi";
    m.font = "f";
    m.trid = 77;
    m.msgNumFromClient = 42;
    m.msgType = client::MSG_STICKER_CODE;
    EXPECT_BYTES(
        Le().u32(11).str16("alice").str16("Alice").u16(1).str16("hi").u32(1).text("f").u32(77).u32(42).u8(4),
        client::encode(m));
}

TEST(RequestsTest, AttachListsTargetsThenTheFile) {
    client::AttachRequest a;
    a.roomId = 2;
    a.fromId = "alice";
    a.fromName = "A";
    a.trid = 5;
    a.targets = {"bob", "carol"};
    a.declaredTargetCount = 3;
    a.fileName = "f.txt";
    a.fileSize = 1000;
    a.url = "http://files/f";
    EXPECT_BYTES(Le().u32(2).str16("alice").str16("A").u16(1).u32(5).u32(0).u8(5).u16(3).str16("bob").str16("carol")
                     .str16("f.txt").u32(1000).str16("http://files/f"),
                 client::encode(a));
}

TEST(RequestsTest, AcknowledgementsAndTyping) {
    EXPECT_BYTES(Le().u32(1).u32(2).str16("bob").u32(0).u16(2), client::encode(client::RelayAck{1, 2, "bob", 0, 2}));
    EXPECT_BYTES(Le().u32(1).u32(2).u32(3).u16(1).u32(4), client::encode(client::ResultAck{1, 2, 3, 1, 4}));
    EXPECT_BYTES(Le().u32(8).str16("bob").u8(0), client::encode(client::TypingRequest{8, "bob", 0}));
}

TEST(RequestsTest, OverLongFieldsAreWrittenAsGiven) {
    const std::string id(257, 'i');
    client::JoinRequest join{1, id, "", 1};
    EXPECT_BYTES(Le().u32(1).str16(id).str16("").u16(1), client::encode(join));
}

TEST(RequestsTest, BodyBeyondAPacketIsRefused) {
    client::MsgRequest m;
    m.msg = std::string(65535, 'm');
    EXPECT_THROW(client::encode(m), std::length_error);
}

}  // namespace
