#pragma once
// Base of the loopback tests against the real tolvexd: one daemon per test
// (with a FakeWas as its WAS), connected clients, and the room steps the
// scenarios are made of. Everything runs on the test thread.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/ChatClient.h"
#include "client/Protocol.h"
#include "client/Replies.h"
#include "support/DaemonHarness.h"
#include "support/FakeWas.h"

// The first request to page for which match holds, once one came within
// 3 s; an empty request (no path) otherwise.
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

class ChatLoopbackTest : public ::testing::Test {
protected:
    using Client = client::ChatClient;

    ChatLoopbackTest() = default;
    explicit ChatLoopbackTest(DaemonHarness::Options options) : m_daemon(std::move(options)) {}

    void SetUp() override { ASSERT_TRUE(m_daemon.start()) << m_daemon.startError(); }
    void TearDown() override {
        m_clients.clear();
        EXPECT_EQ(0, m_daemon.stop()) << "tolvexd should end cleanly on SIGTERM\n" << m_daemon.stderrText();
    }

    // A connected client; it stays owned by the fixture, so a test may keep
    // the reference for its whole run.
    Client& connect(Client::options_t options = {}) {
        m_clients.push_back(std::make_unique<Client>(options));
        Client& c = *m_clients.back();
        EXPECT_EQ(0, c.connect(m_daemon.host(), m_daemon.port()));
        return c;
    }

    static std::string nameOf(const std::string& userId) { return "name of " + userId.substr(0, userId.find('@')); }

    // ROOM_CREATE from a new PC client of creator, inviting the given users
    // (none connected). Reads the whole answer: the room-init reply, one
    // USER_JOIN_ALARM per invitee and, with invitees, the invite reply.
    Client& openRoom(uint32_t roomId, const std::string& creator, const std::vector<std::string>& invitees = {}) {
        Client& c = connect();
        c.sendRoomInit(roomInit(roomId, creator, invitees));
        auto reply = c.waitFor(client::ROOM_CREATE_REPLY);
        EXPECT_TRUE(reply) << creator << " got no room-init reply";
        if (!invitees.empty()) {
            EXPECT_TRUE(c.waitFor(client::USER_ADD_REPLY)) << creator << " got no invite reply";
            for (size_t i = 0; i < invitees.size(); ++i)
                EXPECT_TRUE(c.waitFor(client::USER_JOIN_ALARM)) << "missing join alarm " << i;
        }
        return c;
    }

    static client::RoomInitRequest roomInit(uint32_t roomId, const std::string& creator,
                                            const std::vector<std::string>& invitees) {
        client::RoomInitRequest r;
        r.roomId = roomId;
        r.creatorId = creator;
        r.creatorName = nameOf(creator);
        for (const std::string& id : invitees) r.invitees.push_back({id, nameOf(id)});
        return r;
    }

    static client::JoinRequest joinRequest(uint32_t roomId, const std::string& user,
                                           uint16_t osType = client::OS_TYPE_PC) {
        return client::JoinRequest{roomId, user, nameOf(user), osType};
    }

    // USER_JOIN from a new client; *reply gets the decoded answer.
    Client& join(uint32_t roomId, const std::string& user, uint16_t osType, client::JoinReply* reply) {
        Client& c = connect();
        c.sendJoin(joinRequest(roomId, user, osType));
        auto p = c.waitFor(client::USER_JOIN_REPLY);
        EXPECT_TRUE(p) << user << " got no join reply";
        if (p) {
            auto decoded = client::decodeJoinReply(*p);
            EXPECT_TRUE(decoded) << client::describe(*p);
            if (decoded) *reply = *decoded;
        }
        return c;
    }

    // A member's new connection that joins; the notices this causes on the
    // other connections are consumed.
    Client& joinAs(uint32_t roomId, const std::string& user, uint16_t osType) {
        client::JoinReply reply;
        Client& c = join(roomId, user, osType, &reply);
        EXPECT_EQ(0, reply.result) << user;
        for (auto& other : m_clients) {
            if (other.get() == &c || other->closed()) continue;
            other->ping();
            while (other->pendingCount() > 0) other->receive();
        }
        return c;
    }

    // The daemon answers a ping after everything it queued before it, so a
    // pong with nothing ahead of it proves no packet is on its way.
    static void expectQuiet(Client& c, const std::string& who) {
        EXPECT_TRUE(c.ping()) << who << " got no pong";
        EXPECT_FALSE(c.closed()) << who << " was closed";
        for (const client::Packet& p : c.pending()) ADD_FAILURE() << who << " got " << client::describe(p);
    }

    static void expectClosedWithoutReply(Client& c, const std::string& what) {
        EXPECT_TRUE(c.waitClosed()) << what << ": connection still open";
        for (const client::Packet& p : c.pending()) ADD_FAILURE() << what << ": unexpected " << client::describe(p);
    }

    // The exact bytes of a reply the daemon builds from a request header
    // with empty addresses: same trid and etype, code with the reply bit.
    static std::string replyWire(uint16_t code, const std::string& body, uint32_t trid, uint8_t etype = 0) {
        client::packet_options_t opts;
        opts.trid = trid;
        opts.etype = etype;
        return client::encodePacket(code, body, opts);
    }

    DaemonHarness m_daemon;
    std::vector<std::unique_ptr<Client>> m_clients;
};

#define EXPECT_WIRE(expected, packet) EXPECT_EQ(client::toHex(expected), client::toHex(client::wireBytes(packet)))
