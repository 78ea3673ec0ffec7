// What the job journal promises, against the real processes (tolvexd with
// tolvex-was): a message that got its MSG_ACK is stored exactly once after
// the WAS was down and the daemon was killed or stopped, message numbers go
// on without repeats, a torn journal tail costs only the torn record, and a
// full journal refuses new messages instead of acknowledging them.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "client/Replies.h"
#include "client/Requests.h"
#include "support/DaemonHarness.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRoom = 5150;
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

class DurabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_was.start()) << m_was.stderrText();
        m_daemon = std::make_unique<DaemonHarness>(wasOptions());
        ASSERT_TRUE(m_daemon->start()) << m_daemon->startError();
    }
    void TearDown() override {
        m_alice.reset();
        if (m_daemon && m_daemon->running()) m_daemon->stop();
    }

    virtual std::string extraCommon() const { return ""; }
    DaemonHarness::Options wasOptions() const {
        DaemonHarness::Options o;
        o.wasAddress = m_was.address();
        o.wasTimeoutSec = 1;
        o.extraCommon = extraCommon();
        return o;
    }

    // alice, connected anew, as the creator (first time) or a member again.
    client::ChatClient& alice(bool create) {
        m_alice = std::make_unique<client::ChatClient>();
        EXPECT_EQ(0, m_alice->connect(m_daemon->host(), m_daemon->port()));
        if (create) {
            client::RoomInitRequest init;
            init.roomId = kRoom;
            init.creatorId = kAlice;
            init.creatorName = "A";
            init.invitees.push_back({kBob, "B"});
            m_alice->sendRoomInit(init);
            EXPECT_TRUE(m_alice->waitFor(client::ROOM_CREATE_REPLY));
        } else {
            m_alice->sendJoin(client::JoinRequest{kRoom, kAlice, "A", client::OS_TYPE_PC});
            EXPECT_TRUE(m_alice->waitFor(client::USER_JOIN_REPLY));
        }
        return *m_alice;
    }

    // The number the daemon acknowledged, or 0 when no MSG_ACK came within.
    static uint32_t say(client::ChatClient& c, const std::string& text,
                        std::chrono::milliseconds within = std::chrono::seconds(5)) {
        static uint32_t trid = 100;
        c.sendMsg(client::MsgRequest{kRoom, kAlice, "A", client::OS_TYPE_PC, text, "", ++trid, 0, client::MSG_TALK});
        auto ack = c.waitFor(client::MSG_ACK, within);
        auto decoded = ack ? client::decodeMsgAck(*ack) : std::nullopt;
        return decoded ? decoded->msgNum : 0;
    }

    // Messages alice gets acknowledged while the WAS is down.
    std::vector<uint32_t> acknowledgedWhileTheWasIsDown(int count) {
        client::ChatClient& a = alice(true);
        m_was.kill();
        std::vector<uint32_t> acked;
        for (int i = 0; i < count; ++i) {
            const uint32_t n = say(a, "kept " + std::to_string(i));
            EXPECT_NE(0u, n) << "message " << i;
            acked.push_back(n);
        }
        return acked;
    }

    void expectStoredOnce(const std::vector<uint32_t>& numbers) {
        for (uint32_t n : numbers)
            ASSERT_TRUE(waitFor([&] { return occurrences(m_was.dump(), "  message " + std::to_string(n) + " ") == 1; },
                                30000))
                << "message " << n << "\n" << m_was.dump() << m_daemon->commandLog();
    }

    std::string lastSegment() const {
        std::string last;
        for (const auto& e : fs::directory_iterator(m_daemon->dir().file("log/journal_00")))
            if (e.path().filename().string().rfind("journal-", 0) == 0 && e.path().string() > last)
                last = e.path().string();
        return last;
    }

    TempDir m_wasDir;
    RealWas m_was{m_wasDir};
    std::unique_ptr<DaemonHarness> m_daemon;
    std::unique_ptr<client::ChatClient> m_alice;
};

class DurabilityAcrossAnEndTest : public DurabilityTest, public ::testing::WithParamInterface<int> {};

// The daemon killed, stopped, or (0) running on while the WAS comes back.
TEST_P(DurabilityAcrossAnEndTest, AcknowledgedMessagesAreStoredOnceAndNumbersGoOn) {
    const std::vector<uint32_t> acked = acknowledgedWhileTheWasIsDown(20);
    if (GetParam() == SIGKILL) {
        m_daemon->kill();
    } else if (GetParam() == SIGTERM) {
        m_alice.reset();
        ASSERT_EQ(0, m_daemon->stop(15000)) << "SIGTERM ends cleanly with the WAS away";
    }
    ASSERT_TRUE(m_was.restart()) << m_was.stderrText();
    if (GetParam() != 0) {
        ASSERT_TRUE(m_daemon->start()) << m_daemon->startError();
    }
    expectStoredOnce(acked);

    const uint32_t next = say(GetParam() != 0 ? alice(false) : *m_alice, "after the restart");
    EXPECT_GT(next, acked.back()) << "a number acknowledged before the end is never given out again";
}

INSTANTIATE_TEST_SUITE_P(Ends, DurabilityAcrossAnEndTest, ::testing::Values(SIGKILL, SIGTERM, 0),
                         [](const auto& info) {
                             return std::string(info.param == SIGKILL ? "Kill" : info.param == SIGTERM ? "Term" : "WasBack");
                         });

TEST_F(DurabilityTest, TornTailCostsOnlyTheTornRecord) {
    const std::vector<uint32_t> acked = acknowledgedWhileTheWasIsDown(3);
    m_daemon->kill();
    const std::string segment = lastSegment();
    ASSERT_FALSE(segment.empty());
    fs::resize_file(segment, fs::file_size(segment) - 3);

    ASSERT_TRUE(m_was.restart()) << m_was.stderrText();
    ASSERT_TRUE(m_daemon->start()) << m_daemon->startError();
    expectStoredOnce({acked[0], acked[1]});
    EXPECT_GE(m_daemon->countInCommandLog("corrupt"), 1) << m_daemon->commandLog();
}

class FullJournalTest : public DurabilityTest {
protected:
    std::string extraCommon() const override { return "<journal_max_bytes>1048576</journal_max_bytes>"; }
};

TEST_F(FullJournalTest, NewMessagesAreRefusedNotAcknowledged) {
    client::ChatClient& a = alice(true);
    m_was.kill();
    const std::string big(8000, 'x');
    int acked = 0;
    uint32_t last = 1;
    while (last != 0 && acked < 200) {
        last = say(a, big, std::chrono::milliseconds(1500));
        acked += last != 0;
    }
    EXPECT_EQ(0u, last) << "a journal of 1 MiB cannot keep 200 such messages";
    EXPECT_GT(acked, 10);
    EXPECT_TRUE(a.ping()) << "the sender stays connected and can send again later";
    EXPECT_EQ(1, m_daemon->countInCommandLog("journal: full")) << m_daemon->commandLog();
}
