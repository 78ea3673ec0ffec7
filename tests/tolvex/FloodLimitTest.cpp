// Flood limits of the real tolvexd: a session past its request rate is
// closed with one command-log line while the others in its room go on, and
// an address opening connections past its rate has the extra ones closed at
// accept, counted, with one line for the episode.

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "ChatLoopback.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

// Relays that arrived by the client's last pong, by sender.
std::map<std::string, int> relaysBySender(const Client& c) {
    std::map<std::string, int> out;
    for (const client::Packet& p : c.pending())
        if (p.code == client::MSG_RELAY)
            if (auto relay = client::decodeMsgRelay(p)) ++out[relay->fromId];
    return out;
}

}  // namespace

class SessionFloodTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() {
        startDaemon({.extraCommon = "<session_msg_rate>20</session_msg_rate><session_msg_burst>10</session_msg_burst>"});
    }
};

// Alice fires 300 messages at once; bob sends one every 100 ms (half the
// rate); carol receives both and acknowledges every relay at once, past the
// burst, which ACKs do not count against.
TEST_F(SessionFloodTest, AFloodingSessionIsClosedWhileAPacedOneInTheSameRoomIsServed) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob, kCarol});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    Client& carol = joinAs(room, kCarol, client::OS_TYPE_PC);

    constexpr int kFlood = 300;
    for (int i = 0; i < kFlood; ++i)
        alice.sendMsg(client::MsgRequest{room, kAlice, nameOf(kAlice), client::OS_TYPE_PC,
                                         "flood " + std::to_string(i), "", 9, 0, client::MSG_TALK});
    constexpr int kPaced = 6;
    for (int i = 0; i < kPaced; ++i) {
        ASSERT_NE(0u, say(bob, room, kBob, "paced " + std::to_string(i))) << "bob's message " << i << " not acknowledged";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(alice.waitClosed()) << "the flooding session stays open";
    ASSERT_TRUE(daemon().waitForCommandLog("session_msg_rate exceeded: userid=" + kAlice)) << daemon().commandLog();
    EXPECT_EQ(1, daemon().countInCommandLog("session_msg_rate exceeded"));

    ASSERT_TRUE(bob.ping());
    ASSERT_TRUE(carol.ping());
    const auto atCarol = relaysBySender(carol);
    const auto atBob = relaysBySender(bob);
    EXPECT_EQ(kPaced, atCarol.count(kBob) ? atCarol.at(kBob) : 0);
    const int fromAlice = atCarol.count(kAlice) ? atCarol.at(kAlice) : 0;
    EXPECT_LE(9, fromAlice) << "the burst (less her room init) is served in full";
    EXPECT_GT(kFlood, fromAlice) << "requests past the limit are not relayed";
    EXPECT_EQ(fromAlice, atBob.count(kAlice) ? atBob.at(kAlice) : 0) << "every member got the same relays";

    for (const client::Packet& p : carol.pending())
        if (auto relay = p.code == client::MSG_RELAY ? client::decodeMsgRelay(p) : std::nullopt)
            carol.sendRelayAck(client::RelayAck{room, relay->msgNum, kCarol, 0, client::OS_TYPE_PC});
    EXPECT_TRUE(carol.ping()) << "acknowledgements closed carol";
    EXPECT_NE(0u, say(bob, room, kBob, "after the flood"));
    EXPECT_FALSE(bob.closed());
}

class ConnectionFloodTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() {
        startDaemon({.extraCommon = "<conn_rate_per_addr>1</conn_rate_per_addr><conn_burst_per_addr>3</conn_burst_per_addr>"
                                    "<conn_rate_loopback>true</conn_rate_loopback>",
                     .env = {"TOLVEXD_TEST_STAT_INTERVAL_SEC=1"}});
    }
};

TEST_F(ConnectionFloodTest, ConnectionsPastTheBurstAreClosedAtAcceptAndCounted) {
    Client& first = connect();
    ASSERT_TRUE(first.ping());
    constexpr int kMore = 12;
    std::vector<Client*> more;
    for (int i = 0; i < kMore; ++i) more.push_back(&connect());
    int refused = 0;
    for (Client* c : more)
        if (!c->ping()) {
            EXPECT_TRUE(c->closed()) << "neither served nor closed";
            ++refused;
        }
    EXPECT_LE(1, refused);
    EXPECT_GE(kMore - 2, refused) << "the burst of 3 is let in";
    EXPECT_TRUE(first.ping()) << "a connection made within the limit is left alone";

    ASSERT_TRUE(daemon().waitForCommandLog("conn_rate_per_addr exceeded: 127.0.0.1 ")) << daemon().commandLog();
    EXPECT_EQ(1, daemon().countInCommandLog("conn_rate_per_addr exceeded"));
    const std::string counted = "rate_limited=" + std::to_string(refused) + " ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (daemon().statLog().find(counted) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(std::string::npos, daemon().statLog().find(counted)) << daemon().statLog();
}
