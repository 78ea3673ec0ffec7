#pragma once
// Loopback tests against the real tolvexd: the room steps scenarios are made
// of, and a fixture base with one daemon per test suite (with a FakeWas as its
// WAS), a fresh room id per scenario and connected clients. Test thread only.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/ChatClient.h"
#include "client/Protocol.h"
#include "client/Replies.h"
#include "support/DaemonHarness.h"
#include "support/FakeWas.h"

using Client = client::ChatClient;

// The first request to page for which match holds, once one came within
// 10 s; an empty request (no path) otherwise.
template <typename Match>
FakeWas::Request wasRequestMatching(FakeWas& was, const std::string& page, Match match) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        for (const FakeWas::Request& r : was.requestsTo(page))
            if (match(r)) return r;
        if (std::chrono::steady_clock::now() >= deadline) return {};
        was.waitForRequests(was.requestCount() + 1, 100);
    }
}

inline std::string nameOf(const std::string& userId) { return "name of " + userId.substr(0, userId.find('@')); }

inline client::RoomInitRequest roomInit(uint32_t roomId, const std::string& creator,
                                        const std::vector<std::string>& invitees) {
    client::RoomInitRequest r{roomId, creator, nameOf(creator), client::OS_TYPE_PC, {}, false, {}};
    for (const std::string& id : invitees) r.invitees.push_back({id, nameOf(id)});
    return r;
}

// A message in roomId; its number from the MSG_ACK (0 if none came within).
inline uint32_t say(Client& sender, uint32_t roomId, const std::string& from, const std::string& text,
                    uint32_t msgNumFromClient = 0, std::chrono::milliseconds within = Client::kDefaultWait) {
    sender.sendMsg(client::MsgRequest{roomId, from, nameOf(from), client::OS_TYPE_PC, text, "", 9, msgNumFromClient,
                                      client::MSG_TALK});
    auto ack = sender.waitFor(client::MSG_ACK, within);
    auto decoded = ack ? client::decodeMsgAck(*ack) : std::nullopt;
    return decoded ? decoded->msgNum : 0;
}

// The next result notice for message msgNum; notices of other messages are
// passed over.
inline std::optional<client::MsgResult> noticeFor(Client& sender, uint32_t msgNum) {
    while (auto p = sender.waitFor(client::MSG_RESULT)) {
        auto notice = client::decodeMsgResult(*p);
        if (notice && notice->msgNum == msgNum) return notice;
    }
    return std::nullopt;
}

// The daemon answers a ping after everything it queued before it, so a pong
// with nothing ahead of it proves no packet is on its way.
inline void expectQuiet(Client& c, const std::string& who) {
    EXPECT_TRUE(c.ping()) << who << " got no pong";
    EXPECT_FALSE(c.closed()) << who << " was closed";
    for (const client::Packet& p : c.pending()) ADD_FAILURE() << who << " got " << client::describe(p);
}

// A suite whose clients speak TLS sets the daemon's TLS port and the CA its
// certificate is verified against.
struct tls_target_t {
    int port = 0;
    std::string caFile{};
};

class ChatLoopbackTest : public ::testing::Test {
protected:
    // A suite that needs its own configuration hides this with a
    // SetUpTestSuite() that calls startDaemon(its options).
    static void SetUpTestSuite() { startDaemon({}); }
    static void startDaemon(DaemonHarness::Options options) {
        s_daemon = std::make_unique<DaemonHarness>(std::move(options));
        if (!s_daemon->start()) ADD_FAILURE() << s_daemon->startError();
    }
    static void TearDownTestSuite() {
        if (s_daemon && s_daemon->running()) {
            EXPECT_EQ(0, s_daemon->stop()) << "tolvexd should end cleanly on SIGTERM\n" << s_daemon->stderrText();
        }
        s_daemon.reset();
        s_tls = tls_target_t{};
    }

    void SetUp() override { ASSERT_TRUE(s_daemon && s_daemon->running()) << "no daemon for this suite"; }
    void TearDown() override {
        m_clients.clear();
        EXPECT_TRUE(s_daemon->running()) << "tolvexd died during the test\n" << s_daemon->stderrText();
    }

    static DaemonHarness& daemon() { return *s_daemon; }
    static FakeWas& was() { return s_daemon->was(); }
    // Message numbers count per room, so each scenario takes rooms of its own.
    static uint32_t freshRoom() {
        static uint32_t last = 1000;
        return ++last;
    }

    // A connected client, owned by the fixture for the whole test; over
    // TLS when the suite set s_tls.
    Client& connect() {
        m_clients.push_back(std::make_unique<Client>());
        Client& c = *m_clients.back();
        if (s_tls.port == 0)
            EXPECT_EQ(0, c.connect(s_daemon->host(), s_daemon->port()));
        else
            EXPECT_EQ(0, c.connectTls(s_daemon->host(), s_tls.port, {.caFile = s_tls.caFile})) << c.tlsError();
        return c;
    }

    // ROOM_CREATE from a new PC client of creator, inviting the given users
    // (none connected). Reads the whole answer: the room-init reply, one
    // USER_JOIN_ALARM per invitee and, with invitees, the invite reply.
    Client& openRoom(uint32_t roomId, const std::string& creator, const std::vector<std::string>& invitees = {}) {
        Client& c = connect();
        c.sendRoomInit(roomInit(roomId, creator, invitees));
        EXPECT_TRUE(c.waitFor(client::ROOM_CREATE_REPLY)) << creator << " got no room-init reply";
        if (!invitees.empty()) {
            EXPECT_TRUE(c.waitFor(client::USER_ADD_REPLY)) << creator << " got no invite reply";
        }
        for (size_t i = 0; i < invitees.size(); ++i)
            EXPECT_TRUE(c.waitFor(client::USER_JOIN_ALARM)) << "missing join alarm " << i;
        return c;
    }

    // USER_JOIN from a new client that must be accepted (*reply gets the
    // answer); the notices this causes on the other connections are consumed.
    Client& joinAs(uint32_t roomId, const std::string& user, uint16_t osType, client::JoinReply* reply = nullptr) {
        Client& c = connect();
        c.sendJoin(client::JoinRequest{roomId, user, nameOf(user), osType});
        auto p = c.waitFor(client::USER_JOIN_REPLY);
        auto decoded = p ? client::decodeJoinReply(*p) : std::nullopt;
        EXPECT_TRUE(decoded && decoded->result == 0) << user << (p ? " got " + client::describe(*p) : " got no reply");
        if (decoded && reply) *reply = *decoded;
        for (auto& other : m_clients) {
            if (other.get() == &c || other->closed()) continue;
            other->ping();
            while (other->pendingCount() > 0) other->receive();
        }
        return c;
    }

    inline static std::unique_ptr<DaemonHarness> s_daemon;
    inline static tls_target_t s_tls;
    std::vector<std::unique_ptr<Client>> m_clients;
};
