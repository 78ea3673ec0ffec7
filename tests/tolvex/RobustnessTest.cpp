// Untrusted bytes against the real daemon: over-long fields, broken headers
// and a bounded run of random and truncated packets of every command. The
// offending connection is closed; everybody else goes on being served.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "tools/client/LeBytes.h"

namespace {

constexpr uint32_t kRoom = 300;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

class RobustnessTest : public ChatLoopbackTest {
protected:
    // A fresh client of another tenant opens a room and gets result 0.
    void expectStillServing(uint32_t roomId) {
        ASSERT_TRUE(m_daemon.running()) << m_daemon.stderrText();
        Client& c = connect();
        ASSERT_TRUE(c.sendRoomInit(roomInit(roomId, "fresh@corp.fresh.org", {})));
        auto reply = c.waitFor(client::ROOM_CREATE_REPLY);
        ASSERT_TRUE(reply) << "the daemon stopped serving";
        auto decoded = client::decodeRoomInitReply(*reply);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(0, decoded->result);
    }
};

// One request with a field over its limit, sent on a session that has
// opened a room when the command needs an inviter.
struct overlong_case_t {
    const char* name;
    bool needsRoom;
    uint16_t code;
    std::function<std::string()> body;
};

// Test names and failure messages show the case by its name.
void PrintTo(const overlong_case_t& c, std::ostream* os) {
    *os << c.name;
}

const std::string kLongId(257, 'i');

const overlong_case_t kOverlongCases[] = {
    {"RoomInitCreatorId", false, client::ROOM_CREATE,
     [] { return client::encode(client::RoomInitRequest{kRoom, kLongId, "name", 1, {}, false, {}}); }},
    {"RoomInitCreatorName", false, client::ROOM_CREATE,
     [] { return client::encode(client::RoomInitRequest{kRoom, kAlice, kLongId, 1, {}, false, {}}); }},
    {"JoinUserId", false, client::USER_JOIN,
     [] { return client::encode(client::JoinRequest{kRoom, std::string(300, 'u'), "name", 1}); }},
    {"JoinName", false, client::USER_JOIN,
     [] { return client::encode(client::JoinRequest{kRoom, kBob, kLongId, 1}); }},
    {"RejoinUserId", false, client::USER_REJOIN,
     [] { return client::encode(client::JoinRequest{kRoom, kLongId, "name", 1}); }},
    {"InviteCount", true, client::USER_ADD,
     [] { return client::encode(client::InviteRequest{kRoom, {{kBob, "B"}}, 51u}); }},
    {"InviteeId", true, client::USER_ADD,
     [] { return client::encode(client::InviteRequest{kRoom, {{kLongId, "x"}}, std::nullopt}); }},
    {"InviteeName", true, client::USER_ADD,
     [] { return client::encode(client::InviteRequest{kRoom, {{kBob, kLongId}}, std::nullopt}); }},
};

class OverlongFieldTest : public RobustnessTest, public ::testing::WithParamInterface<overlong_case_t> {};

TEST_P(OverlongFieldTest, ClosesTheSessionWithoutAReply) {
    Client& bystander = openRoom(kRoom + 1, "by@corp.example.com");
    Client& c = GetParam().needsRoom ? openRoom(kRoom, kAlice) : connect();
    ASSERT_TRUE(c.send(GetParam().code, GetParam().body()));
    expectClosedWithoutReply(c, GetParam().name);
    expectQuiet(bystander, "bystander");
    expectStillServing(kRoom + 2);
}

INSTANTIATE_TEST_SUITE_P(Fields, OverlongFieldTest, ::testing::ValuesIn(kOverlongCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RobustnessTest, FieldsAtTheirLimitAreAccepted) {
    const std::string id = std::string(256 - 17, 'a') + "@corp.example.com";
    ASSERT_EQ(256u, id.size());
    Client& c = connect();
    ASSERT_TRUE(c.sendRoomInit(client::RoomInitRequest{kRoom, id, std::string(256, 'n'), 1, {}, false, {}}));
    auto reply = c.waitFor(client::ROOM_CREATE_REPLY);
    ASSERT_TRUE(reply);
    EXPECT_EQ(0, client::decodeRoomInitReply(*reply)->result);
    ASSERT_TRUE(c.sendInvite(client::InviteRequest{kRoom, std::vector<client::invitee_t>(50, {kBob, "B"}), {}}));
    auto invite = c.waitFor(client::USER_ADD_REPLY);
    ASSERT_TRUE(invite) << "fifty invitees are allowed";
    EXPECT_EQ(50u, client::decodeInviteReply(*invite)->requestedCount);
}

TEST_F(RobustnessTest, BrokenHeadersCloseOnlyThatConnection) {
    Client& member = openRoom(kRoom, kAlice);
    const std::vector<std::string> broken = {
        std::string("\x00", 1) + "not a packet",
        client::encodeFixedHeader(0xB76C, 15, client::ROOM_CREATE, 2, 0, 1, 0, 0),
        client::encodeFixedHeader(0xB76C, 533, client::ROOM_CREATE, 2, 0, 1, 0, 0),
    };
    for (const std::string& bytes : broken) {
        Client& c = connect();
        ASSERT_TRUE(c.sendRaw(bytes));
        expectClosedWithoutReply(c, client::toHex(bytes.substr(0, 16)));
    }
    expectQuiet(member, "alice");
}

// Deterministic noise: the same seed gives the same run.
class PacketNoise {
public:
    explicit PacketNoise(uint32_t seed) : m_rng(seed) {}

    int below(int n) { return static_cast<int>(m_rng() % static_cast<uint32_t>(n)); }

    std::string randomBytes(int maxLen) {
        std::string s(static_cast<size_t>(below(maxLen + 1)), '\0');
        for (char& c : s) c = static_cast<char>(below(256));
        return s;
    }

    // A well-formed body of the command, for truncating and mutating.
    std::string validBody(uint16_t code) {
        const uint32_t room = static_cast<uint32_t>(below(4)) + 1;
        switch (code) {
            case client::ROOM_CREATE:
                return client::encode(client::RoomInitRequest{room, kAlice, "A", 1, {{kBob, "B"}}, false, {}});
            case client::USER_ADD: return client::encode(client::InviteRequest{room, {{kBob, "B"}}, std::nullopt});
            case client::USER_JOIN:
            case client::USER_REJOIN: return client::encode(client::JoinRequest{room, kBob, "B", 2});
            case client::USER_LEAVE: return client::encode(client::LeaveRequest{room, kBob, "B", 1});
            case client::USER_FORCE_LEAVE: return client::encode(client::ForceLeaveRequest{room, kAlice, "A", 1, kBob, "B"});
            case client::MSG: {
                client::MsgRequest m;
                m.roomId = room;
                m.fromId = kAlice;
                m.msg = "hello";
                m.font = "font";
                return client::encode(m);
            }
            case client::TYPING: return client::encode(client::TypingRequest{room, kAlice, 1});
            case client::ATTACH: {
                client::AttachRequest a;
                a.roomId = room;
                a.fromId = kAlice;
                a.targets = {kBob};
                a.fileName = "f";
                a.url = "u";
                return client::encode(a);
            }
            case client::MSG_RESULT_ACK: return client::encode(client::ResultAck{room, 1, 0, 1, 1});
            default: return client::encode(client::RelayAck{room, 1, kBob, 0, 1});
        }
    }

    // One packet: the body cut short, random, or with a few bytes changed;
    // sometimes with a header that promises more body than follows.
    std::string packet(uint16_t code) {
        std::string body = validBody(code);
        switch (below(3)) {
            case 0: body.resize(static_cast<size_t>(below(static_cast<int>(body.size()) + 1))); break;
            case 1: body = randomBytes(300); break;
            default:
                for (int i = below(4) + 1; i > 0 && !body.empty(); --i)
                    body[static_cast<size_t>(below(static_cast<int>(body.size())))] = static_cast<char>(below(256));
        }
        client::packet_options_t opts;
        opts.etype = static_cast<uint8_t>(below(3));
        opts.trid = m_rng();
        std::string wire = client::encodePacket(code, body, opts);
        if (below(8) == 0) wire.resize(static_cast<size_t>(below(static_cast<int>(wire.size()))));
        return wire;
    }

private:
    std::mt19937 m_rng;
};

TEST_F(RobustnessTest, RandomAndTruncatedPacketsOfEveryCommandLeaveTheDaemonServing) {
    const std::vector<uint16_t> codes = {
        client::ROOM_CREATE, client::USER_JOIN,     client::USER_ADD,       client::MSG,
        client::TYPING,      client::USER_LEAVE,    client::USER_REJOIN,    client::USER_FORCE_LEAVE,
        client::ATTACH,      client::MSG_RELAY_ACK, client::MSG_RESULT_ACK, client::ATTACH_ALARM_RELAY_ACK};
    constexpr uint32_t kSeed = 20240611;
    PacketNoise noise(kSeed);
    SCOPED_TRACE("noise seed " + std::to_string(kSeed));

    Client& member = openRoom(kRoom, "keeper@corp.keep.org");
    for (int round = 0; round < 240; ++round) {
        Client& c = connect();
        std::string burst;
        for (int i = noise.below(3) + 1; i > 0; --i) burst += noise.packet(codes[static_cast<size_t>(round) % codes.size()]);
        c.sendRaw(burst);
        // Some connections wait briefly for the daemon's answer or close,
        // the others hang up at once, in the middle of whatever it does.
        if (round % 3 == 0) c.receive(std::chrono::milliseconds(50));
        c.close();
        if (round % 60 == 59) expectStillServing(1000 + static_cast<uint32_t>(round));
        m_clients.erase(m_clients.begin() + 1, m_clients.end());  // all but the member
    }
    expectQuiet(member, "a member of an untouched room");
    expectStillServing(2000);
}

}  // namespace
