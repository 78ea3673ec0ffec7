// tolvexd against the real tolvex-was: messages reach the WAS with their
// recipients, a restarted daemon gets its rooms back from it so members
// rejoin with their join sequences and message numbers go on, a room list of
// several MiB loads whole, and the job journal keeps what was acknowledged
// across the ends of both processes. Also, against the fake WAS, the start-up
// gate (the not-ready notice until the rooms are loaded) and the SIGTERM that
// lets a WAS job still out finish.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ChatLoopback.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"
#include "support/TextShape.h"

namespace {

namespace fs = std::filesystem;

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

class EndToEndTest : public ChatLoopbackTest {
protected:
    static void SetUpTestSuite() { startWithRealWas(); }
    // A real WAS (holding seededRooms rooms of five members), then the daemon on it.
    static void startWithRealWas(int seededRooms = 0, int wasTimeoutSec = 3, const std::string& extraCommon = "") {
        s_wasDir = std::make_unique<TempDir>();
        s_was = std::make_unique<RealWas>(*s_wasDir);
        if (!s_was->start() || (seededRooms > 0 && !s_was->seed(seededRooms, 5))) {
            ADD_FAILURE() << "tolvex-was: " << s_was->stderrText();
            return;
        }
        startDaemon({.wasTimeoutSec = wasTimeoutSec, .extraCommon = extraCommon, .wasAddress = s_was->address()});
    }
    static void TearDownTestSuite() {
        ChatLoopbackTest::TearDownTestSuite();
        s_was.reset();  // before its folder goes
        s_wasDir.reset();
    }

    // The WAS's rows of one room: its line, its members, its messages.
    static std::string dumpOf(uint32_t room) {
        const std::string dump = s_was->dump();
        const size_t at = dump.find("room " + std::to_string(room) + " tenant ");
        return at == std::string::npos ? "" : dump.substr(at, dump.find("\nroom ", at) - at);
    }

    inline static std::unique_ptr<TempDir> s_wasDir;
    inline static std::unique_ptr<RealWas> s_was;
};

TEST_F(EndToEndTest, RoomsComeBackAfterRestartWithJoinSequencesAndMessageNumbers) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob});
    client::JoinReply bobJoin, aliceMobile;
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC, &bobJoin);
    joinAs(room, kAlice, client::OS_TYPE_MOBILE, &aliceMobile);
    const uint32_t first = say(alice, room, kAlice, "first words");
    const uint32_t last = say(alice, room, kAlice, "second words");
    ASSERT_EQ(first + 1, last);
    ASSERT_TRUE(bob.waitFor(client::MSG_RELAY));
    ASSERT_TRUE(bob.waitFor(client::MSG_RELAY));

    // Both messages are stored with bob as a recipient at his join sequence.
    ASSERT_TRUE(waitFor([&] { return dumpOf(room).find("text \"second words\"") != std::string::npos; }, 10000))
        << s_was->dump();
    const std::string dump = dumpOf(room);
    EXPECT_NE(std::string::npos, dump.find("max_msg_seq " + std::to_string(last) + " ")) << dump;
    EXPECT_NE(std::string::npos, dump.find("message " + std::to_string(first) + " ")) << dump;
    EXPECT_NE(std::string::npos, dump.find("to \"" + kBob + "\" join_seq " + std::to_string(bobJoin.joinSeq))) << dump;

    m_clients.clear();
    ASSERT_EQ(0, daemon().stop()) << daemon().stderrText();
    ASSERT_TRUE(daemon().start()) << daemon().startError();  // loads the rooms from the WAS
    client::JoinReply bobAgain, aliceAgain;
    joinAs(room, kBob, client::OS_TYPE_PC, &bobAgain);
    EXPECT_EQ(bobJoin.joinSeq, bobAgain.joinSeq);
    Client& aliceConn = joinAs(room, kAlice, client::OS_TYPE_PC, &aliceAgain);
    EXPECT_EQ(aliceMobile.joinSeq, aliceAgain.joinSeq);
    EXPECT_EQ(last, aliceAgain.currentMsgNum);
    EXPECT_EQ(last + 1, say(aliceConn, room, kAlice, "after the restart"));
}

class BigRoomListTest : public EndToEndTest {
protected:
    static constexpr int kRooms = 6000;
    static void SetUpTestSuite() { startWithRealWas(kRooms); }
};

TEST_F(BigRoomListTest, RoomListOfMoreThanFourMiBLoadsWholeAndServesAJoin) {
    // Some 180 bytes a member row: 30,000 rows make a single page of over
    // 5 MB, past what the daemon keeps of any other reply.
    const std::string log = daemon().commandLog();
    const size_t counted = log.find(" bytes, 30000 rows)");
    ASSERT_NE(std::string::npos, counted) << "the page was not read whole";
    EXPECT_GT(std::stoll(log.substr(log.rfind("(", counted) + 1)), 4LL << 20);

    client::JoinReply reply;
    joinAs(kRooms, "u" + std::to_string(kRooms) + "-3@m.example.com", client::OS_TYPE_PC, &reply);
    EXPECT_EQ(3u, reply.joinSeq);  // the seeded sequence: the member came from the list
}

// What the job journal promises: a message that got its MSG_ACK is stored
// exactly once after the WAS was down and the daemon was killed or stopped,
// message numbers go on without repeats, a torn journal tail costs only the
// torn record, and a full journal refuses new messages instead of
// acknowledging them.
class DurabilityTest : public EndToEndTest {
protected:
    static void SetUpTestSuite() { startWithRealWas(0, 1); }  // a short WAS wait: retries come soon

    // alice, connected anew, as the creator (first time) or a member again.
    Client& alice(bool create) {
        Client& c = connect();
        if (create) c.sendRoomInit(roomInit(m_room, kAlice, {kBob}));
        else c.sendJoin(client::JoinRequest{m_room, kAlice, nameOf(kAlice), client::OS_TYPE_PC});
        EXPECT_TRUE(c.waitFor(create ? client::ROOM_CREATE_REPLY : client::USER_JOIN_REPLY));
        return c;
    }

    // Messages a new room's creator gets acknowledged while the WAS is down.
    std::vector<uint32_t> acknowledgedWhileTheWasIsDown(int count) {
        Client& a = alice(true);
        s_was->kill();
        std::vector<uint32_t> acked;
        for (int i = 0; i < count; ++i) {
            acked.push_back(say(a, m_room, kAlice, "kept " + std::to_string(i)));
            EXPECT_NE(0u, acked.back()) << "message " << i;
        }
        return acked;
    }

    void expectStoredOnce(const std::vector<uint32_t>& numbers) {
        for (uint32_t n : numbers)
            ASSERT_TRUE(waitFor([&] { return occurrences(dumpOf(m_room), "  message " + std::to_string(n) + " ") == 1; },
                                30000))
                << "message " << n << "\n" << s_was->dump() << daemon().commandLog();
    }

    std::string lastSegment() const {
        std::string last;
        for (const auto& e : fs::directory_iterator(daemon().dir().file("log/journal_00")))
            if (e.path().filename().string().rfind("journal-", 0) == 0 && e.path().string() > last)
                last = e.path().string();
        return last;
    }

    const uint32_t m_room = freshRoom();
};

class DurabilityAcrossAnEndTest : public DurabilityTest, public ::testing::WithParamInterface<int> {};

// The daemon killed, stopped, or (0) running on while the WAS comes back.
TEST_P(DurabilityAcrossAnEndTest, AcknowledgedMessagesAreStoredOnceAndNumbersGoOn) {
    const std::vector<uint32_t> acked = acknowledgedWhileTheWasIsDown(20);
    if (GetParam() == SIGKILL) {
        daemon().kill();
    } else if (GetParam() == SIGTERM) {
        m_clients.clear();
        ASSERT_EQ(0, daemon().stop(15000)) << "SIGTERM ends cleanly with the WAS away";
    }
    ASSERT_TRUE(s_was->restart()) << s_was->stderrText();
    if (GetParam() != 0) {
        ASSERT_TRUE(daemon().start()) << daemon().startError();
    }
    expectStoredOnce(acked);

    const uint32_t next = say(GetParam() != 0 ? alice(false) : *m_clients.front(), m_room, kAlice, "after the end");
    EXPECT_GT(next, acked.back()) << "a number acknowledged before the end is never given out again";
}

INSTANTIATE_TEST_SUITE_P(Ends, DurabilityAcrossAnEndTest, ::testing::Values(SIGKILL, SIGTERM, 0),
                         [](const auto& info) {
                             return std::string(info.param == SIGKILL ? "Kill" : info.param == SIGTERM ? "Term" : "WasBack");
                         });

TEST_F(DurabilityTest, TornTailCostsOnlyTheTornRecord) {
    const std::vector<uint32_t> acked = acknowledgedWhileTheWasIsDown(3);
    daemon().kill();
    const std::string segment = lastSegment();
    ASSERT_FALSE(segment.empty());
    fs::resize_file(segment, fs::file_size(segment) - 3);

    ASSERT_TRUE(s_was->restart()) << s_was->stderrText();
    ASSERT_TRUE(daemon().start()) << daemon().startError();
    expectStoredOnce({acked[0], acked[1]});
    EXPECT_GE(daemon().countInCommandLog("corrupt"), 1) << daemon().commandLog();
}

class FullJournalTest : public DurabilityTest {
protected:
    static void SetUpTestSuite() { startWithRealWas(0, 1, "<journal_max_bytes>1048576</journal_max_bytes>"); }
};

TEST_F(FullJournalTest, NewMessagesAreRefusedNotAcknowledged) {
    Client& a = alice(true);
    s_was->kill();
    int acked = 0;
    uint32_t last = 1;
    while (last != 0 && acked < 200) {
        last = say(a, m_room, kAlice, std::string(8000, 'x'), 0, std::chrono::milliseconds(1500));
        acked += last != 0;
    }
    EXPECT_EQ(0u, last) << "a journal of 1 MiB cannot keep 200 such messages";
    EXPECT_GT(acked, 10);
    EXPECT_TRUE(a.ping()) << "the sender stays connected and can send again later";
    EXPECT_EQ(1, daemon().countInCommandLog("journal: full")) << daemon().commandLog();
    ASSERT_TRUE(s_was->restart()) << s_was->stderrText();
}

// The daemon against the fake WAS, started without waiting for its rooms.
TEST(RoomLoadingDaemonTest, RequestsGetTheNotReadyNoticeUntilTheRoomsAreLoaded) {
    DaemonHarness d({.wasTimeoutSec = 1, .waitForRooms = false});
    d.was().neverAnswer(DaemonHarness::kNotEndRoomPage);
    ASSERT_TRUE(d.start()) << d.startError();
    ASSERT_TRUE(d.was().waitForRequests(1));
    const client::JoinRequest join{42, kBob, "B", client::OS_TYPE_PC};

    client::ChatClient early;
    ASSERT_EQ(0, early.connect(d.host(), d.port()));
    early.sendJoin(join);
    auto notice = early.waitFor(client::SERVER_NOT_READY_REPLY);
    ASSERT_TRUE(notice);
    EXPECT_TRUE(client::decodeNotReady(*notice));
    EXPECT_TRUE(early.waitClosed());

    // The page is asked for again after the wait (1 s) plus 5 s; this time
    // the WAS answers, and the daemon serves.
    const auto row = [](const std::string& user, int joinSeq) {
        return "<room room_id=\"42\" user_id=\"" + user + "\" name_info=\"N\" join_seq=\"" + std::to_string(joinSeq) +
               "\" max_msg_seq=\"7\" end_ymdt=\"\" last_recv_time=\"1700000000\" member_cnt=\"2\" max_join_seq=\"2\"/>";
    };
    d.was().setReply(DaemonHarness::kNotEndRoomPage,
                     {200, FakeWas::resultHeader(0) + "<rooms>" + row(kAlice, 1) + row(kBob, 2) + "</rooms>"});
    ASSERT_TRUE(d.waitForCommandLog("Loading Room Complete", 1, 12000));
    EXPECT_EQ(2u, d.was().requestsTo(DaemonHarness::kNotEndRoomPage).size());

    client::ChatClient later;
    ASSERT_EQ(0, later.connect(d.host(), d.port()));
    later.sendJoin(join);
    auto reply = later.waitFor(client::USER_JOIN_REPLY);
    auto decoded = reply ? client::decodeJoinReply(*reply) : std::nullopt;
    ASSERT_TRUE(decoded && decoded->result == 0);
    EXPECT_EQ(2u, decoded->joinSeq);
    EXPECT_EQ(7u, decoded->currentMsgNum);
    EXPECT_EQ(0, d.stop());
}

TEST(SigtermDrainTest, SigtermLetsAWasJobStillOutFinishFirst) {
    // A WAS wait long enough that the job is surely still out when SIGTERM comes.
    DaemonHarness d({.wasTimeoutSec = 5, .waitForRooms = false});
    d.was().neverAnswer(DaemonHarness::kSaveMsgPage);
    ASSERT_TRUE(d.start()) << d.startError();
    ASSERT_TRUE(d.waitForCommandLog("Loading Room Complete"));
    {
        client::ChatClient alice;
        ASSERT_EQ(0, alice.connect(d.host(), d.port()));
        alice.sendRoomInit(roomInit(42, kAlice, {kBob}));
        ASSERT_TRUE(alice.waitFor(client::ROOM_CREATE_REPLY));
        ASSERT_TRUE(waitFor([&] { return !d.was().requestsTo(DaemonHarness::kSaveMsgPage).empty(); }, 3000));
    }
    EXPECT_EQ(0, d.stop(15000)) << d.commandLog() << d.stderrText().substr(0, 1500);
    EXPECT_GE(d.countInCommandLog("WAS job(s) before exit"), 1) << d.commandLog();
}

}  // namespace
