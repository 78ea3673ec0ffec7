// tolvexd against the real tolvex-was: messages reach the WAS with their
// recipients, deliveries and pushes come back to the sender in its delivery
// report and are marked at the WAS, and a restarted daemon gets its rooms back from it, so members
// rejoin with their join sequences and message numbers go on. Also, against
// the fake WAS, the start-up gate (the not-ready notice until the rooms are
// loaded) and the reload of a room a client asks for.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"

namespace {

constexpr uint32_t kRoom = 4242;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

std::string nameOf(const std::string& userId) {
    return "name of " + userId.substr(0, userId.find('@'));
}

DaemonHarness::Options withWas(const std::string& address) {
    DaemonHarness::Options o;
    o.wasAddress = address;
    o.wasTimeoutSec = 3;
    return o;
}

}  // namespace

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_was.start()) << m_was.stderrText(); }

    // A daemon (the first, or one started after the previous stopped).
    DaemonHarness& startDaemon() {
        m_daemons.push_back(std::make_unique<DaemonHarness>(withWas(m_was.address())));
        DaemonHarness& d = *m_daemons.back();
        EXPECT_TRUE(d.start()) << d.startError();
        return d;
    }
    void stopDaemon(DaemonHarness& d) {
        m_clients.clear();
        EXPECT_EQ(0, d.stop(10000)) << d.stderrText();
    }

    client::ChatClient& connect(DaemonHarness& d) {
        m_clients.push_back(std::make_unique<client::ChatClient>());
        EXPECT_EQ(0, m_clients.back()->connect(d.host(), d.port()));
        return *m_clients.back();
    }
    // A join (on a connection of its own); the decoded reply.
    client::JoinReply join(DaemonHarness& d, const std::string& user, uint16_t osType,
                           client::ChatClient** conn = nullptr) {
        client::ChatClient& c = connect(d);
        if (conn) *conn = &c;
        c.sendJoin(client::JoinRequest{kRoom, user, nameOf(user), osType});
        auto p = c.waitFor(client::USER_JOIN_REPLY);
        EXPECT_TRUE(p) << user << " got no join reply";
        auto reply = p ? client::decodeJoinReply(*p) : std::nullopt;
        if (reply) return *reply;
        client::JoinReply none;
        none.result = 0xFFFF;
        return none;
    }
    // alice's new room with the invitees (who are not connected).
    client::ChatClient& openRoom(DaemonHarness& d, const std::vector<std::string>& invitees) {
        client::ChatClient& alice = connect(d);
        client::RoomInitRequest init;
        init.roomId = kRoom;
        init.creatorId = kAlice;
        init.creatorName = nameOf(kAlice);
        for (const std::string& id : invitees) init.invitees.push_back({id, nameOf(id)});
        alice.sendRoomInit(init);
        EXPECT_TRUE(alice.waitFor(client::ROOM_CREATE_REPLY));
        return alice;
    }
    // alice sends text; the message number the daemon gave it.
    uint32_t send(client::ChatClient& alice, const std::string& text, uint32_t trid) {
        client::MsgRequest m;
        m.roomId = kRoom;
        m.fromId = kAlice;
        m.fromName = nameOf(kAlice);
        m.msg = text;
        m.trid = trid;
        alice.sendMsg(m);
        auto ack = alice.waitFor(client::MSG_ACK);
        EXPECT_TRUE(ack) << "no MSG_ACK for " << text;
        auto decoded = ack ? client::decodeMsgAck(*ack) : std::nullopt;
        return decoded ? decoded->msgNum : 0;
    }

    TempDir m_dir;
    RealWas m_was{m_dir};
    std::vector<std::unique_ptr<DaemonHarness>> m_daemons;
    std::vector<std::unique_ptr<client::ChatClient>> m_clients;
};

TEST_F(EndToEndTest, RoomsComeBackAfterRestartWithJoinSequencesAndMessageNumbers) {
    DaemonHarness& first = startDaemon();
    client::ChatClient& alice = openRoom(first, {kBob});
    client::ChatClient* bob = nullptr;
    const client::JoinReply bobJoin = join(first, kBob, client::OS_TYPE_PC, &bob);
    ASSERT_EQ(0, bobJoin.result);
    const client::JoinReply aliceMobile = join(first, kAlice, client::OS_TYPE_MOBILE);
    ASSERT_EQ(0, aliceMobile.result);

    const uint32_t firstNum = send(alice, "first words", 11);
    const uint32_t lastNum = send(alice, "second words", 12);
    ASSERT_EQ(firstNum + 1, lastNum);
    ASSERT_TRUE(bob->waitFor(client::MSG_RELAY));
    ASSERT_TRUE(bob->waitFor(client::MSG_RELAY));

    // Both messages are stored with bob as a recipient at his join sequence.
    ASSERT_TRUE(m_was.waitForDump("text \"second words\"")) << m_was.dump();
    const std::string dump = m_was.dump();
    EXPECT_NE(std::string::npos, dump.find("message " + std::to_string(firstNum) + " ")) << dump;
    EXPECT_NE(std::string::npos, dump.find("message " + std::to_string(lastNum) + " ")) << dump;
    const std::string bobRow = "to \"" + kBob + "\" join_seq " + std::to_string(bobJoin.joinSeq);
    EXPECT_NE(std::string::npos, dump.find(bobRow)) << dump;
    EXPECT_NE(std::string::npos, dump.find("max_msg_seq " + std::to_string(lastNum))) << dump;
    stopDaemon(first);

    DaemonHarness& second = startDaemon();
    EXPECT_TRUE(second.waitForCommandLog("Loading Room Complete"));
    const client::JoinReply bobAgain = join(second, kBob, client::OS_TYPE_PC);
    EXPECT_EQ(0, bobAgain.result);
    EXPECT_EQ(bobJoin.joinSeq, bobAgain.joinSeq);
    client::ChatClient* aliceConn = nullptr;
    const client::JoinReply aliceAgain = join(second, kAlice, client::OS_TYPE_PC, &aliceConn);
    EXPECT_EQ(0, aliceAgain.result);
    EXPECT_EQ(aliceMobile.joinSeq, aliceAgain.joinSeq);
    EXPECT_EQ(lastNum, aliceAgain.currentMsgNum);
    EXPECT_EQ(lastNum + 1, send(*aliceConn, "after the restart", 13));
    stopDaemon(second);
}

TEST_F(EndToEndTest, RoomListOfMoreThanFourMiBLoadsWholeAndServesAJoin) {
    // Some 180 bytes a member row: 30,000 rows make a single page of over
    // 5 MB, past what the daemon keeps of any other reply.
    constexpr int kRooms = 6000;
    ASSERT_TRUE(m_was.seed(kRooms, 5));
    DaemonHarness& daemon = startDaemon();
    ASSERT_TRUE(daemon.waitForCommandLog("Loading Room Complete"));
    const std::string log = daemon.commandLog();
    const size_t counted = log.find(" bytes, 30000 rows)");
    ASSERT_NE(std::string::npos, counted) << "the page was not read whole";
    EXPECT_GT(std::stoll(log.substr(log.rfind("(", counted) + 1)), 4LL << 20);

    const std::string member = "u" + std::to_string(kRooms) + "-3@m.example.com";
    client::ChatClient& c = connect(daemon);
    c.sendJoin(client::JoinRequest{kRooms, member, "User", client::OS_TYPE_PC});
    auto p = c.waitFor(client::USER_JOIN_REPLY);
    ASSERT_TRUE(p);
    auto reply = client::decodeJoinReply(*p);
    ASSERT_TRUE(reply);
    EXPECT_EQ(0, reply->result);
    EXPECT_EQ(3u, reply->joinSeq);  // the seeded sequence: the member came from the list
    stopDaemon(daemon);
}

TEST_F(EndToEndTest, DeliveryAndPushReachTheSendersReportAndTheWas) {
    DaemonHarness& daemon = startDaemon();
    client::ChatClient& alice = openRoom(daemon, {kBob, kCarol});
    client::ChatClient* bob = nullptr;
    ASSERT_EQ(0, join(daemon, kBob, client::OS_TYPE_PC, &bob).result);

    // carol has no session: the WAS push stands in for her.
    const uint32_t msgNum = send(alice, "to bob and carol", 21);
    auto relay = bob->waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    bob->sendRelayAck(client::RelayAck{kRoom, msgNum, kBob, 0, client::OS_TYPE_PC});

    // The outcomes may come in one report or two (the push reply takes a
    // WAS round trip); each report is acknowledged as a client does.
    std::map<std::string, uint32_t> outcomes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (outcomes.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        auto p = alice.waitFor(client::MSG_RESULT, deadline);
        if (!p) break;
        auto report = client::decodeMsgResult(*p);
        ASSERT_TRUE(report) << client::describe(*p);
        EXPECT_EQ(msgNum, report->msgNum);
        EXPECT_EQ(21u, report->trid);
        for (const client::result_entry_t& r : report->results) outcomes[r.userId] = r.code;
        alice.sendResultAck(client::ResultAck{kRoom, msgNum, 21, client::OS_TYPE_PC, report->resultSeq});
    }
    EXPECT_EQ((std::map<std::string, uint32_t>{{kBob, client::SEND_RESULT_SUCCESS},
                                               {kCarol, client::SEND_RESULT_SUCCESS}}),
              outcomes);

    ASSERT_TRUE(m_was.waitForDump(" room " + std::to_string(kRoom) + " msg " + std::to_string(msgNum) +
                                  " to \"" + kCarol + "\" from \"" + kAlice + "\""))
        << m_was.dump();
    // The send-state update marks both recipients of the message delivered.
    auto deliveredRecipients = [&] {
        const std::string dump = m_was.dump();
        size_t at = dump.find("  message " + std::to_string(msgNum) + " ");
        int delivered = 0;
        while (at != std::string::npos) {
            at = dump.find('\n', at);
            if (at == std::string::npos || dump.compare(at + 1, 4, "    ") != 0) break;
            const std::string line = dump.substr(at + 1, dump.find('\n', at + 1) - at - 1);
            if (line.find(" delivered") != std::string::npos &&
                (line.find(kBob) != std::string::npos || line.find(kCarol) != std::string::npos))
                ++delivered;
            ++at;
        }
        return delivered;
    };
    EXPECT_TRUE(waitFor([&] { return deliveredRecipients() == 2; }, 8000)) << m_was.dump();
    stopDaemon(daemon);
}

TEST_F(EndToEndTest, RoomZeroIsRefusedEverywhereAndNothingIsAcknowledgedOrStored) {
    DaemonHarness& daemon = startDaemon();
    const std::string before = m_was.dump();

    client::ChatClient& creator = connect(daemon);
    client::RoomInitRequest init;
    init.creatorId = kAlice;
    init.creatorName = "A";
    creator.sendRoomInit(init);
    auto created = creator.waitFor(client::ROOM_CREATE_REPLY);
    ASSERT_TRUE(created);
    EXPECT_EQ(100, client::decodeRoomInitReply(*created)->result);
    EXPECT_TRUE(creator.waitClosed());

    client::ChatClient& joiner = connect(daemon);
    joiner.sendJoin(client::JoinRequest{0, kBob, "B", client::OS_TYPE_PC});
    auto joined = joiner.waitFor(client::USER_JOIN_REPLY);
    ASSERT_TRUE(joined) << "a join of room 0 is answered at once, not left to a reload";
    EXPECT_EQ(100, client::decodeJoinReply(*joined)->result);
    EXPECT_TRUE(joiner.waitClosed());

    client::ChatClient& sender = connect(daemon);
    sender.sendMsg(client::MsgRequest{0, kAlice, "A", client::OS_TYPE_PC, "lost?", "", 5, 0, client::MSG_TALK});
    EXPECT_TRUE(sender.waitClosed());
    for (const client::Packet& p : sender.pending()) ADD_FAILURE() << "unexpected " << client::describe(p);

    stopDaemon(daemon);
    EXPECT_EQ(before, m_was.dump());
}

// The daemon against the fake WAS, started without waiting for its rooms.
class RoomLoadingDaemonTest : public ::testing::Test {
protected:
    explicit RoomLoadingDaemonTest(int wasTimeoutSec = 1) : m_daemon(options(wasTimeoutSec)) {}
    static DaemonHarness::Options options(int wasTimeoutSec) {
        DaemonHarness::Options o;
        o.waitForRooms = false;
        o.wasTimeoutSec = wasTimeoutSec;
        return o;
    }
    void TearDown() override {
        m_clients.clear();
        if (m_daemon.running()) {
            EXPECT_EQ(0, m_daemon.stop(10000)) << m_daemon.stderrText();
        }
    }
    client::ChatClient& connect() {
        m_clients.push_back(std::make_unique<client::ChatClient>());
        EXPECT_EQ(0, m_clients.back()->connect(m_daemon.host(), m_daemon.port()));
        return *m_clients.back();
    }
    static std::string roomRows(uint32_t roomId) {
        return FakeWas::resultHeader(0) + "<rooms><room room_id=\"" + std::to_string(roomId) + "\" user_id=\"" +
               kAlice + "\" name_info=\"A\" join_seq=\"1\" max_msg_seq=\"7\" end_ymdt=\"\" " +
               "last_recv_time=\"1700000000\" member_cnt=\"2\" max_join_seq=\"2\"/><room room_id=\"" +
               std::to_string(roomId) + "\" user_id=\"" + kBob + "\" name_info=\"B\" join_seq=\"2\" " +
               "max_msg_seq=\"7\" end_ymdt=\"\" last_recv_time=\"1700000000\" member_cnt=\"2\" " +
               "max_join_seq=\"2\"/></rooms>";
    }

    DaemonHarness m_daemon;
    std::vector<std::unique_ptr<client::ChatClient>> m_clients;
};

TEST_F(RoomLoadingDaemonTest, RequestsGetTheNotReadyNoticeUntilTheRoomsAreLoaded) {
    m_daemon.was().neverAnswer(DaemonHarness::kNotEndRoomPage);
    ASSERT_TRUE(m_daemon.start()) << m_daemon.startError();
    ASSERT_TRUE(m_daemon.was().waitForRequests(1));

    client::ChatClient& early = connect();
    early.sendJoin(client::JoinRequest{kRoom, kBob, "B", client::OS_TYPE_PC});
    auto notice = early.waitFor(client::SERVER_NOT_READY_REPLY);
    ASSERT_TRUE(notice);
    EXPECT_TRUE(client::decodeNotReady(*notice));
    EXPECT_TRUE(early.waitClosed());

    // The page is asked for again after the wait (1 s) plus 5 s; this time
    // the WAS answers, and the daemon serves.
    FakeWas::Reply rooms;
    rooms.body = roomRows(kRoom);
    m_daemon.was().setReply(DaemonHarness::kNotEndRoomPage, rooms);
    ASSERT_TRUE(m_daemon.waitForCommandLog("Loading Room Complete", 1, 12000));
    EXPECT_EQ(2u, m_daemon.was().requestsTo(DaemonHarness::kNotEndRoomPage).size());

    client::ChatClient& later = connect();
    later.sendJoin(client::JoinRequest{kRoom, kBob, "B", client::OS_TYPE_PC});
    auto reply = later.waitFor(client::USER_JOIN_REPLY);
    ASSERT_TRUE(reply);
    auto decoded = client::decodeJoinReply(*reply);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(0, decoded->result);
    EXPECT_EQ(2u, decoded->joinSeq);
    EXPECT_EQ(7u, decoded->currentMsgNum);
}

TEST_F(RoomLoadingDaemonTest, JoinOfARoomNotInMemoryReloadsItForTheNextJoin) {
    ASSERT_TRUE(m_daemon.start()) << m_daemon.startError();
    ASSERT_TRUE(m_daemon.waitForCommandLog("Loading Room Complete"));
    FakeWas::Reply rows;
    rows.body = roomRows(kRoom + 1);
    m_daemon.was().setReply(DaemonHarness::kLoadRoomPage, rows);

    client::ChatClient& first = connect();
    first.sendJoin(client::JoinRequest{kRoom + 1, kBob, "B", client::OS_TYPE_PC});
    ASSERT_TRUE(m_daemon.was().waitForRequests(2));  // the room list, then the reload
    const auto reloads = m_daemon.was().requestsTo(DaemonHarness::kLoadRoomPage);
    ASSERT_EQ(1u, reloads.size());
    EXPECT_EQ("room_id=" + std::to_string(kRoom + 1) + "&tenant_id=example.com", reloads[0].body);

    // The reload answers nobody; the client's next join finds the room.
    ASSERT_TRUE(waitFor([&] {
        client::ChatClient& again = connect();
        again.sendJoin(client::JoinRequest{kRoom + 1, kBob, "B", client::OS_TYPE_PC});
        auto reply = again.waitFor(client::USER_JOIN_REPLY, std::chrono::milliseconds(300));
        return reply && client::decodeJoinReply(*reply) && client::decodeJoinReply(*reply)->result == 0;
    }, 5000));
}

// A WAS wait long enough that the job is surely still out when SIGTERM comes.
class SigtermDrainTest : public RoomLoadingDaemonTest {
protected:
    SigtermDrainTest() : RoomLoadingDaemonTest(5) {}
};

TEST_F(SigtermDrainTest, SigtermLetsAWasJobStillOutFinishFirst) {
    m_daemon.was().neverAnswer(DaemonHarness::kSaveMsgPage);
    ASSERT_TRUE(m_daemon.start()) << m_daemon.startError();
    ASSERT_TRUE(m_daemon.waitForCommandLog("Loading Room Complete"));
    client::ChatClient& alice = connect();
    client::RoomInitRequest init;
    init.roomId = kRoom;
    init.creatorId = kAlice;
    init.creatorName = "A";
    init.invitees.push_back({kBob, "B"});
    alice.sendRoomInit(init);
    ASSERT_TRUE(alice.waitFor(client::ROOM_CREATE_REPLY));
    ASSERT_TRUE(waitFor([&] { return !m_daemon.was().requestsTo(DaemonHarness::kSaveMsgPage).empty(); }, 3000));

    m_clients.clear();
    EXPECT_EQ(0, m_daemon.stop(15000)) << m_daemon.commandLog() << m_daemon.stderrText().substr(0, 1500);
    EXPECT_GE(m_daemon.countInCommandLog("WAS job(s) before exit"), 1) << m_daemon.commandLog();
}
