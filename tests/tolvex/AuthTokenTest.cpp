// Join tokens against the real daemon with auth_mode required: a connection
// acts only after AUTH with a token signed by a configured key, and only as
// the token's user (room, device kind); every bad token or misuse is
// answered, closes that connection and changes nothing for anybody else.

#include <gtest/gtest.h>

#include <signal.h>

#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "client/Packet.h"
#include "client/Requests.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TestTokens.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";
const std::string kDave = "dave@corp.example.com";
const std::string kEve = "eve@corp.example.com";
const std::string kSecret = "an HS256 secret of more than thirty-two bytes";

using testtoken::claims;

// Keys made for the suite: k1 (ES256) and k2 (RS256) public keys and the
// HS256 secret s1, all configured; stranger is configured nowhere.
struct keys_t {
    TempDir dir;
    TestKey k1{dir, "k1", TestKey::ES256};
    TestKey k2{dir, "k2", TestKey::RS256};
    TestKey stranger{dir, "stranger", TestKey::ES256};
    std::string s1 = dir.write("s1.key", kSecret + "\n");
};

// Made at first use, removed at exit: after every suite's daemon has stopped.
keys_t& keys() {
    static keys_t k;
    return k;
}

std::string hs256(const std::string& kid, const std::string& secret, const std::string& body) {
    const std::string input = testtoken::signingInput("{\"alg\":\"HS256\",\"kid\":\"" + kid + "\"}", body);
    return input + "." + testtoken::base64Url(testtoken::hmacSha256(secret, input));
}

std::string good(const std::string& user, const std::string& extra = "") {
    return testtoken::signedBy(keys().k1, "k1", claims(user, 0, 300, extra));
}

// Room r: alice (creator) and bob joined, carol invited. Room other: alice
// joined, dave invited.
struct rooms_t {
    uint32_t r = 0;
    uint32_t other = 0;
};

struct misuse_t {
    const char* name;
    // Requests the offender sends first, each answered as expected (may be empty).
    std::function<void(Client&, const rooms_t&)> prepare;
    uint16_t code;
    std::function<std::string(const rooms_t&)> body;
    uint16_t result;  // in the reply the offence gets, before the close
};

void PrintTo(const misuse_t& c, std::ostream* os) { *os << c.name; }

std::string auth(const std::string& token) { return client::encode(client::AuthRequest{token}); }
std::string joinBody(uint32_t room, const std::string& user, uint16_t osType = client::OS_TYPE_PC) {
    return client::encode(client::JoinRequest{room, user, nameOf(user), osType});
}

void authenticate(Client& c, const std::string& token) {
    c.sendAuth({token});
    auto p = c.waitFor(client::AUTH_REPLY);
    auto reply = p ? client::decodeAuthReply(*p) : std::nullopt;
    ASSERT_TRUE(reply && reply->result == client::AUTH_RES_ACCEPTED) << (p ? client::describe(*p) : "no reply");
}

const misuse_t kMisuses[] = {
    {"Expired", nullptr, client::AUTH, [](const rooms_t&) { return auth(testtoken::signedBy(keys().k1, "k1", claims(kBob, -7200, -3600))); },
     client::AUTH_RES_EXPIRED},
    {"NotYetValid", nullptr, client::AUTH,
     [](const rooms_t&) {
         const std::string nbf = ",\"nbf\":" + std::to_string(std::time(nullptr) + 3600);
         return auth(testtoken::signedBy(keys().k1, "k1", claims(kBob, 0, 7200, nbf)));
     },
     client::AUTH_RES_EXPIRED},
    {"SignedByAnotherKey", nullptr, client::AUTH,
     [](const rooms_t&) { return auth(testtoken::signedBy(keys().stranger, "k1", claims(kBob))); },
     client::AUTH_RES_BAD_SIGNATURE},
    {"AlgNone", nullptr, client::AUTH,
     [](const rooms_t&) { return auth(testtoken::signingInput("{\"alg\":\"none\",\"kid\":\"k1\"}", claims(kBob)) + "."); },
     client::AUTH_RES_BAD_SIGNATURE},
    // The classic confusion: HMAC keyed with the verifier's public key bytes.
    {"Hs256WithThePublicKey", nullptr, client::AUTH,
     [](const rooms_t&) { return auth(hs256("k1", keys().k1.publicPem(), claims(kBob))); },
     client::AUTH_RES_BAD_SIGNATURE},
    {"NoKidWithSeveralKeys", nullptr, client::AUTH,
     [](const rooms_t&) { return auth(testtoken::signedBy(keys().k1, "", claims(kBob))); },
     client::AUTH_RES_BAD_SIGNATURE},
    {"DeviceKindUnknown", nullptr, client::AUTH, [](const rooms_t&) { return auth(good(kBob, ",\"dev\":3")); },
     client::AUTH_RES_UNKNOWN_DEVICE},
    {"OverLongToken", nullptr, client::AUTH,
     [](const rooms_t&) { return auth(good(kBob, ",\"pad\":\"" + std::string(4096, 'x') + "\"")); },
     client::AUTH_RES_MALFORMED},
    {"Garbage", nullptr, client::AUTH, [](const rooms_t&) { return auth("\x01not.a\xff.token"); },
     client::AUTH_RES_MALFORMED},
    {"TokenForAnotherUser", [](Client& c, const rooms_t&) { authenticate(c, good(kEve)); }, client::USER_JOIN,
     [](const rooms_t& x) { return joinBody(x.r, kBob); }, client::RES_NOT_AUTHORIZED},
    {"TokenForAnotherRoom",
     [](Client& c, const rooms_t& x) { authenticate(c, good(kBob, ",\"room\":" + std::to_string(x.other))); },
     client::USER_JOIN, [](const rooms_t& x) { return joinBody(x.r, kBob); }, client::RES_NOT_AUTHORIZED},
    {"TokenForAnotherDevice", [](Client& c, const rooms_t&) { authenticate(c, good(kBob, ",\"dev\":2")); },
     client::USER_JOIN, [](const rooms_t& x) { return joinBody(x.r, kBob); }, client::RES_NOT_AUTHORIZED},
    {"RoomInitForAnotherUser", [](Client& c, const rooms_t&) { authenticate(c, good(kEve)); }, client::ROOM_CREATE,
     [](const rooms_t& x) { return client::encode(roomInit(x.r + 100000, kAlice, {})); }, client::RES_NOT_AUTHORIZED},
    {"SecondAuth", [](Client& c, const rooms_t&) { authenticate(c, good(kEve)); }, client::AUTH,
     [](const rooms_t&) { return auth(good(kBob)); }, client::AUTH_RES_ALREADY_AUTHENTICATED},
    {"AuthAfterAJoin",
     [](Client& c, const rooms_t& x) {
         authenticate(c, good(kDave));
         c.sendJoin(client::JoinRequest{x.other, kDave, nameOf(kDave), client::OS_TYPE_PC});
         auto p = c.waitFor(client::USER_JOIN_REPLY);
         ASSERT_TRUE(p && client::decodeJoinReply(*p)->result == 0);
     },
     client::AUTH, [](const rooms_t&) { return auth(good(kDave)); }, client::AUTH_RES_ALREADY_AUTHENTICATED},
    {"JoinBeforeAuth", nullptr, client::USER_JOIN, [](const rooms_t& x) { return joinBody(x.r, kBob); },
     client::RES_NOT_AUTHORIZED},
    {"MessageBeforeAuth", nullptr, client::MSG,
     [](const rooms_t& x) {
         return client::encode(client::MsgRequest{x.r, kBob, nameOf(kBob), client::OS_TYPE_PC, "unsigned", "", 7, 0,
                                                  client::MSG_TALK});
     },
     client::RES_NOT_AUTHORIZED},
};

class AuthTokenTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() {
        startDaemon({.extraCommon = "<auth_mode>required</auth_mode><auth_public_key>" + keys().k1.publicPath() + " " +
                                    keys().k2.publicPath() + "</auth_public_key><auth_hmac_secret_file>" + keys().s1 +
                                    "</auth_hmac_secret_file>"});
    }

    Client& authed(const std::string& token) {
        Client& c = connect();
        authenticate(c, token);
        return c;
    }
    Client& openRoomAs(uint32_t room, const std::string& creator, const std::vector<std::string>& invitees) {
        Client& c = authed(good(creator));
        c.sendRoomInit(roomInit(room, creator, invitees));
        EXPECT_TRUE(c.waitFor(client::ROOM_CREATE_REPLY));
        if (!invitees.empty()) {
            EXPECT_TRUE(c.waitFor(client::USER_ADD_REPLY));
        }
        for (size_t i = 0; i < invitees.size(); ++i) EXPECT_TRUE(c.waitFor(client::USER_JOIN_ALARM));
        return c;
    }
    client::JoinReply joinWith(Client& c, uint32_t room, const std::string& user) {
        c.sendJoin(client::JoinRequest{room, user, nameOf(user), client::OS_TYPE_PC});
        auto p = c.waitFor(client::USER_JOIN_REPLY);
        auto reply = p ? client::decodeJoinReply(*p) : std::nullopt;
        EXPECT_TRUE(reply && reply->result == 0) << user << (p ? " got " + client::describe(*p) : " got no reply");
        for (auto& other : m_clients) {
            if (other.get() == &c || other->closed()) continue;
            other->ping();
            while (other->pendingCount() > 0) other->receive();
        }
        return reply.value_or(client::JoinReply{});
    }
    int refusals() const {
        const std::string log = daemon().commandLog();
        static const std::regex line("AUTH: \\S+ refused \\(");
        return static_cast<int>(std::distance(std::sregex_iterator(log.begin(), log.end(), line), std::sregex_iterator()));
    }
    void signalAndWait(const std::string& line) {
        const int seen = daemon().countInCommandLog(line);
        ASSERT_TRUE(daemon().signal(SIGUSR2));
        ASSERT_TRUE(daemon().waitForCommandLog(line, seen + 1)) << daemon().commandLog();
    }
    uint16_t authResult(const std::string& token) {
        Client& c = connect();
        c.sendAuth({token});
        auto p = c.waitFor(client::AUTH_REPLY);
        auto reply = p ? client::decodeAuthReply(*p) : std::nullopt;
        return reply ? reply->result : 0xFFFF;
    }
};

class AuthMisuseTest : public AuthTokenTest, public ::testing::WithParamInterface<misuse_t> {};

TEST_P(AuthMisuseTest, IsRefusedClosedAndChangesNothing) {
    const misuse_t& misuse = GetParam();
    const rooms_t x{freshRoom(), freshRoom()};
    Client& alice = openRoomAs(x.r, kAlice, {kBob, kCarol});
    Client& bob = authed(good(kBob));
    const client::JoinReply before = joinWith(bob, x.r, kBob);
    Client& aliceOther = openRoomAs(x.other, kAlice, {kDave});

    Client& offender = connect();
    if (misuse.prepare) misuse.prepare(offender, x);
    aliceOther.ping();  // a join in the preparation is announced to her
    while (aliceOther.pendingCount() > 0) aliceOther.receive();
    const int refused = refusals();
    const size_t wasRequests = was().requestCount();
    ASSERT_TRUE(offender.send(misuse.code, misuse.body(x)));

    ASSERT_TRUE(offender.waitClosed()) << "the offender's connection stayed open";
    ASSERT_EQ(1u, offender.pending().size()) << "one reply, then the close";
    const client::Packet& reply = offender.pending().front();
    EXPECT_EQ(client::replyCode(misuse.code), reply.code) << client::describe(reply);
    EXPECT_EQ(std::string({static_cast<char>(misuse.result & 0xFF), static_cast<char>(misuse.result >> 8)}),
              reply.body);
    EXPECT_TRUE(waitFor([&] { return refusals() == refused + 1; })) << daemon().commandLog();
    expectQuiet(alice, "alice");
    expectQuiet(bob, "bob");
    expectQuiet(aliceOther, "alice");

    // Carol's join takes the only new message number, and the member list
    // is as it was.
    Client& carol = authed(good(kCarol));
    const client::JoinReply after = joinWith(carol, x.r, kCarol);
    std::vector<std::string> ids;
    for (const client::member_t& m : after.members) ids.push_back(m.userId);
    EXPECT_EQ((std::vector<std::string>{kAlice, kBob, kCarol}), ids);
    EXPECT_EQ(before.currentMsgNum + 1, after.currentMsgNum);
    // No save or leave reached the WAS for the two rooms since the offence
    // but bob's marker, which the daemon sent after it, and the set-up's
    // invitations, which may still be on their way.
    ASSERT_NE(0u, say(bob, x.r, kBob, "marker"));
    ASSERT_FALSE(wasRequestMatching(was(), DaemonHarness::kSaveMsgPage, [](const FakeWas::Request& q) {
                     return q.field("msg") == "marker";
                 }).path.empty());
    const std::set<std::string> rooms = {std::to_string(x.r), std::to_string(x.other)};
    const std::vector<FakeWas::Request> all = was().requests();
    for (size_t i = wasRequests; i < all.size(); ++i) {
        const bool watched = all[i].path == DaemonHarness::kSaveMsgPage || all[i].path == DaemonHarness::kLeavePage;
        const bool explained = all[i].field("msg") == "marker" || all[i].field("msg_type") == "2";
        if (watched && rooms.count(all[i].field("room_id")) && !explained)
            ADD_FAILURE() << "WAS got " << all[i].path << " " << all[i].body;
    }
}

INSTANTIATE_TEST_SUITE_P(Misuses, AuthMisuseTest, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AuthTokenTest, TokensOfEveryConfiguredKeyAdmitTheirUserToChat) {
    const uint32_t r = freshRoom();
    Client& alice = openRoomAs(r, kAlice, {kBob, kCarol});
    // bob's token from the RS256 key, carol's from the HS256 secret, each
    // picked by its kid.
    Client& bob = authed(testtoken::signedBy(keys().k2, "k2", claims(kBob, 0, 300, ",\"room\":" + std::to_string(r))));
    joinWith(bob, r, kBob);
    Client& carol = authed(hs256("s1", kSecret, claims(kCarol, 0, 300, ",\"dev\":1")));
    joinWith(carol, r, kCarol);

    ASSERT_NE(0u, say(bob, r, kBob, "signed in"));
    for (Client* c : {&alice, &carol}) {
        auto relay = c->waitFor(client::MSG_RELAY);
        ASSERT_TRUE(relay);
        EXPECT_EQ("signed in", client::decodeMsgRelay(*relay)->msg);
    }
    EXPECT_TRUE(daemon().waitForCommandLog("AUTH: accepted: user_id=" + kBob + ", room_id=" + std::to_string(r)));
}

TEST_F(AuthTokenTest, SigusrTwoRereadsKeysAndKeepsThemWhenAFileIsBroken) {
    const std::string original = keys().dir.read("k2.pem");
    TestKey next(keys().dir, "k2-next", TestKey::RS256);
    keys().dir.write("k2.pem", next.publicPem());
    signalAndWait("auth_mode required, 3 key(s)");
    EXPECT_EQ(client::AUTH_RES_BAD_SIGNATURE, authResult(testtoken::signedBy(keys().k2, "k2", claims(kBob))));
    EXPECT_EQ(client::AUTH_RES_ACCEPTED, authResult(testtoken::signedBy(next, "k2", claims(kBob))));

    keys().dir.write("k2.pem", "not a key");
    signalAndWait("auth keys not read, 3 key(s) kept");
    EXPECT_EQ(client::AUTH_RES_ACCEPTED, authResult(testtoken::signedBy(next, "k2", claims(kBob))));

    keys().dir.write("k2.pem", original);
    signalAndWait("auth_mode required, 3 key(s)");
}

// The whole path a deployment takes: tolvex-was mints the token (by its
// token command, or its token page for a client that names the page),
// tolvex-cli presents it, and the daemon admits the room it names and
// refuses another.
TEST_F(AuthTokenTest, TolvexWasTokensAdmitTolvexCliToTheirRoomOnly) {
    const std::string privatePath = keys().dir.write("k1-private.pem", keys().k1.privatePem());
    const uint32_t r = freshRoom();
    Process mint(binPath("tolvex-was"), {"token", "--user", kAlice, "--room", std::to_string(r), "--device", "pc",
                                         "--ttl", "60", "--signing-key", privatePath, "--kid", "k1"});
    ASSERT_EQ(0, mint.waitExit()) << mint.stderrText();
    const std::string tokenFile = keys().dir.write("alice.token", mint.stdoutText());

    const auto cli = [&](uint32_t room, const std::string& user, std::vector<std::string> tokenArgs) {
        std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(daemon().port()), "--user", user,
                                         "--room", std::to_string(room), "--create", "--send", "hello"};
        args.insert(args.end(), tokenArgs.begin(), tokenArgs.end());
        Process p(binPath("tolvex-cli"), args);
        const int status = p.waitExit(20000);
        return std::make_pair(status, p.stderrText());
    };
    const auto [admitted, why] = cli(r, kAlice, {"--token-file", tokenFile});
    EXPECT_EQ(0, admitted) << why;
    const auto [refused, said] = cli(freshRoom(), kAlice, {"--token-file", tokenFile});
    EXPECT_EQ(1, refused) << said;
    EXPECT_NE(std::string::npos, said.find("(result 516)")) << said;
    EXPECT_TRUE(daemon().waitForCommandLog("AUTH: ROOM_CREATE refused (another room than the token's)"));

    const int port = freeTcpPort();
    const std::string apiKey = keys().dir.write("api.key", "the login service's api key\n");
    Process page(binPath("tolvex-was"), {"--db", keys().dir.file("was.db"), "--listen",
                                         "127.0.0.1:" + std::to_string(port), "--signing-key", privatePath, "--kid",
                                         "k1", "--api-key-file", apiKey});
    ASSERT_TRUE(waitFor([&] { return canConnect(port); })) << page.stderrText();
    const auto [fetched, whyNot] = cli(freshRoom(), kCarol, {"--was-token-url", "http://127.0.0.1:" +
                                       std::to_string(port) + "/was/token", "--api-key-file", apiKey});
    EXPECT_EQ(0, fetched) << whyNot;
}

}  // namespace
