// Two daemons (server ids 0 and 1) and two tolvex-was processes sharing one
// PostgreSQL database, each daemon's waslist naming both WAS: rooms on both
// daemons persist through the second WAS once the first is killed, and after
// a restart each daemon loads back only the rooms it served, with message
// numbers going on.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "support/DaemonHarness.h"
#include "support/PgTestServer.h"
#include "support/RealWas.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

class ScaleOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_db = PgTestServer::shared().freshDatabase();
        std::string waslist;
        for (auto& was : m_was) {
            was = std::make_unique<RealWas>(m_db);
            ASSERT_TRUE(was->start()) << was->stderrText();
            waslist += was->address() + " ";
        }
        for (int id = 0; id < 2; ++id) {
            m_daemons[id] = std::make_unique<DaemonHarness>(
                DaemonHarness::Options{.serverId = id, .wasTimeoutSec = 2, .wasAddress = waslist});
            ASSERT_TRUE(m_daemons[id]->start()) << m_daemons[id]->startError();
        }
    }
    void TearDown() override {
        m_clients.clear();
        for (auto& daemon : m_daemons) daemon.reset();
        for (auto& was : m_was) was.reset();
        PgTestServer::shared().dropDatabase(m_db);
    }

    Client& connect(int daemon) {
        m_clients.push_back(std::make_unique<Client>());
        EXPECT_EQ(0, m_clients.back()->connect(m_daemons[daemon]->host(), m_daemons[daemon]->port()));
        return *m_clients.back();
    }

    // The join reply to user joining room on a daemon, through a new client.
    client::JoinReply join(int daemon, uint32_t room, const std::string& user, Client** joined = nullptr) {
        Client& c = connect(daemon);
        c.sendJoin(client::JoinRequest{room, user, nameOf(user), client::OS_TYPE_PC});
        auto p = c.waitFor(client::USER_JOIN_REPLY);
        auto reply = p ? client::decodeJoinReply(*p) : std::nullopt;
        EXPECT_TRUE(reply) << user << " got no join reply from daemon " << daemon;
        if (joined) *joined = &c;
        return reply.value_or(client::JoinReply{});
    }

    // Whether the shared database holds message msgSeq of room, as the
    // surviving WAS's store dumps it.
    bool stored(uint32_t room, uint32_t msgSeq) {
        const std::string dump = m_was[1]->dump();
        const size_t at = dump.find("room " + std::to_string(room) + " tenant ");
        if (at == std::string::npos) return false;
        const std::string rows = dump.substr(at, dump.find("\nroom ", at) - at);
        return rows.find("message " + std::to_string(msgSeq) + " ") != std::string::npos;
    }

    std::string m_db;
    std::array<std::unique_ptr<RealWas>, 2> m_was;
    std::array<std::unique_ptr<DaemonHarness>, 2> m_daemons;
    std::vector<std::unique_ptr<Client>> m_clients;
};

TEST_F(ScaleOutTest, MessagesOutliveAWasAndEachDaemonGetsBackOnlyItsOwnRooms) {
    const std::array<uint32_t, 2> rooms = {501, 502};  // room i lives on daemon i
    std::array<uint32_t, 2> last{};                     // the last message number of each
    for (int d = 0; d < 2; ++d) {
        Client& alice = connect(d);
        alice.sendRoomInit(roomInit(rooms[d], kAlice, {kBob}));
        ASSERT_TRUE(alice.waitFor(client::ROOM_CREATE_REPLY)) << "daemon " << d;
        Client* bob = nullptr;
        ASSERT_EQ(0, join(d, rooms[d], kBob, &bob).result);
        last[d] = say(alice, rooms[d], kAlice, "before");
        ASSERT_NE(0u, last[d]);
        ASSERT_TRUE(bob->waitFor(client::MSG_RELAY)) << "daemon " << d;
    }

    // The first WAS of both waslists dies: saves move on to the second.
    m_was[0]->kill();
    for (int d = 0; d < 2; ++d) {
        Client& alice = connect(d);
        alice.sendJoin(client::JoinRequest{rooms[d], kAlice, nameOf(kAlice), client::OS_TYPE_PC});
        ASSERT_TRUE(alice.waitFor(client::USER_JOIN_REPLY));
        ASSERT_EQ(last[d] + 1, say(alice, rooms[d], kAlice, "while one WAS is down"));
        ++last[d];
    }
    for (int d = 0; d < 2; ++d)
        ASSERT_TRUE(waitFor([&] { return stored(rooms[d], last[d] - 1) && stored(rooms[d], last[d]); }, 20000))
            << m_was[1]->dump();

    m_clients.clear();
    for (auto& daemon : m_daemons) {
        ASSERT_EQ(0, daemon->stop()) << daemon->stderrText();
        ASSERT_TRUE(daemon->start()) << daemon->startError();
    }
    for (int d = 0; d < 2; ++d) {
        Client* alice = nullptr;
        const client::JoinReply own = join(d, rooms[d], kAlice, &alice);
        ASSERT_EQ(0, own.result) << "daemon " << d << " lost its room";
        EXPECT_EQ(last[d], own.currentMsgNum);
        EXPECT_EQ(last[d] + 1, say(*alice, rooms[d], kAlice, "after the restart"));

        // The other daemon's room was not loaded, and the reload a join
        // asks for is refused each time: the room stays where it is, and
        // the join gets no answer, as for a room the WAS does not know.
        const uint32_t other = rooms[1 - d];
        const std::string refused = "Quillon RoomReload: room " + std::to_string(other) + " failed";
        for (int attempt = 1; attempt <= 2; ++attempt) {
            Client& bob = connect(d);
            bob.sendJoin(client::JoinRequest{other, kBob, nameOf(kBob), client::OS_TYPE_PC});
            ASSERT_TRUE(m_daemons[d]->waitForCommandLog(refused, attempt)) << m_daemons[d]->commandLog();
            expectQuiet(bob, "bob on daemon " + std::to_string(d));
        }
    }
}

}  // namespace
