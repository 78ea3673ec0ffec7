// Untrusted bytes against the real daemon: fields at and one past their
// limits, and the largest packet. The offending connection is closed;
// everybody else goes on being served.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "client/Packet.h"
#include "client/Requests.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kLongId(257, 'i');

class RobustnessTest : public ChatLoopbackTest {};

// One request with a field over its limit, sent on a session that has
// opened the room when the command needs an inviter.
struct overlong_case_t {
    const char* name;
    bool needsRoom;
    uint16_t code;
    std::function<std::string(uint32_t room)> body;
};

void PrintTo(const overlong_case_t& c, std::ostream* os) { *os << c.name; }

const overlong_case_t kOverlongCases[] = {
    {"RoomInitCreatorId", false, client::ROOM_CREATE,
     [](uint32_t room) { return client::encode(client::RoomInitRequest{room, kLongId, "name", 1, {}, false, {}}); }},
    {"RoomInitCreatorName", false, client::ROOM_CREATE,
     [](uint32_t room) { return client::encode(client::RoomInitRequest{room, kAlice, kLongId, 1, {}, false, {}}); }},
    {"JoinUserId", false, client::USER_JOIN,
     [](uint32_t room) { return client::encode(client::JoinRequest{room, std::string(300, 'u'), "name", 1}); }},
    {"JoinName", false, client::USER_JOIN,
     [](uint32_t room) { return client::encode(client::JoinRequest{room, kBob, kLongId, 1}); }},
    {"RejoinUserId", false, client::USER_REJOIN,
     [](uint32_t room) { return client::encode(client::JoinRequest{room, kLongId, "name", 1}); }},
    {"InviteCount", true, client::USER_ADD,
     [](uint32_t room) { return client::encode(client::InviteRequest{room, {{kBob, "B"}}, 51u}); }},
    {"InviteeId", true, client::USER_ADD,
     [](uint32_t room) { return client::encode(client::InviteRequest{room, {{kLongId, "x"}}, std::nullopt}); }},
    {"InviteeName", true, client::USER_ADD,
     [](uint32_t room) { return client::encode(client::InviteRequest{room, {{kBob, kLongId}}, std::nullopt}); }},
};

class OverlongFieldTest : public RobustnessTest, public ::testing::WithParamInterface<overlong_case_t> {};

TEST_P(OverlongFieldTest, ClosesTheSessionWithoutAReply) {
    const uint32_t room = freshRoom();
    Client& bystander = openRoom(freshRoom(), "by@corp.example.com");
    Client& c = GetParam().needsRoom ? openRoom(room, kAlice) : connect();
    ASSERT_TRUE(c.send(GetParam().code, GetParam().body(room)));
    EXPECT_TRUE(c.waitClosed()) << "still open";
    for (const client::Packet& p : c.pending()) ADD_FAILURE() << "unexpected " << client::describe(p);
    expectQuiet(bystander, "bystander");  // the daemon serves on
}

INSTANTIATE_TEST_SUITE_P(Fields, OverlongFieldTest, ::testing::ValuesIn(kOverlongCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RobustnessTest, FieldsAtTheirLimitAreAccepted) {
    const uint32_t room = freshRoom();
    const std::string id = std::string(256 - 17, 'a') + "@corp.example.com";
    ASSERT_EQ(256u, id.size());
    Client& c = connect();
    ASSERT_TRUE(c.sendRoomInit(client::RoomInitRequest{room, id, std::string(256, 'n'), 1, {}, false, {}}));
    auto reply = c.waitFor(client::ROOM_CREATE_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_EQ(0, client::decodeRoomInitReply(*reply)->result);
    ASSERT_TRUE(c.sendInvite(client::InviteRequest{room, std::vector<client::invitee_t>(50, {kBob, "B"}), {}}));
    auto invite = c.waitFor(client::USER_ADD_REPLY);
    ASSERT_TRUE(invite) << "fifty invitees are allowed";
    EXPECT_EQ(50u, client::decodeInviteReply(*invite)->requestedCount);
}

TEST_F(RobustnessTest, LargestPacketIsReadWhole) {
    // A full variable header and a 65,535-byte body: more than any receive
    // buffer holds at once, still one packet, refused for its unknown code.
    std::string vh(1, static_cast<char>(255));
    vh += std::string(255, 't');
    vh += static_cast<char>(255);
    vh += std::string(255, 'f') + "pad!";
    const std::string wire = client::encodeFixedHeader(0xB76C, 532, 0x1234, 2, 0, 5, 0, 65535) + vh +
                             std::string(65535, 'b');
    Client& c = connect();
    ASSERT_TRUE(c.sendRaw(wire));
    auto reply = c.receive();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(client::decodeInvalidCommand(*reply)) << client::describe(*reply);
    EXPECT_EQ(std::string(255, 'f'), reply->to) << "addresses change places";
    EXPECT_EQ(std::string(255, 't'), reply->from);
    EXPECT_TRUE(c.waitClosed());
}

}  // namespace
