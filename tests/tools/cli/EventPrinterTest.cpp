// What a person reads for each thing the daemon sends: sender and local
// time on messages and notices, every delivery outcome in words, the
// meaning of each refused join, and other users' text with its control
// characters made harmless.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "cli/EventPrinter.h"
#include "client/Protocol.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
// 1970-01-02 03:04:05 UTC
constexpr uint32_t kTime = 86400 + 3 * 3600 + 4 * 60 + 5;

class EventPrinterTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_savedTz = tz ? tz : "";
        m_hadTz = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        m_roster.add(kAlice, "Alice");
        m_roster.add(kBob, "Bob");
    }
    void TearDown() override {
        if (m_hadTz) setenv("TZ", m_savedTz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

    cli::outgoing_t sentItem(uint32_t msgNum, const std::string& text) const {
        cli::outgoing_t item;
        item.what = text;
        item.accepted = true;
        item.msgNum = msgNum;
        item.acceptedAt = kTime;
        return item;
    }

    std::string m_savedTz;
    bool m_hadTz = false;
    cli::Roster m_roster{kAlice};
    cli::EventPrinter m_printer{m_roster};
};

TEST_F(EventPrinterTest, MessagesShowLocalTimeSenderNameAndId) {
    client::MsgRelay m;
    m.fromId = kBob;
    m.fromName = "Bob";
    m.msgTime = kTime;
    m.msg = "hello alice";
    EXPECT_EQ("[03:04:05] Bob (bob@corp.example.com): hello alice", m_printer.message(m));
    m.msgType = client::MSG_STICKER_CODE;
    m.fromName = "";  // the roster supplies the name
    EXPECT_EQ("[03:04:05] Bob (bob@corp.example.com): [sticker] hello alice", m_printer.message(m));
    m.fromId = kAlice;
    m.msgType = client::MSG_TALK;
    EXPECT_EQ("[03:04:05] you (other device): hello alice", m_printer.message(m));

    client::AttachAlarmRelay a;
    a.fromId = kBob;
    a.fromName = "Bob";
    a.msgTime = kTime;
    a.fileName = "plan.pdf";
    a.fileSize = 2048;
    a.url = "http://files/plan.pdf";
    EXPECT_EQ("[03:04:05] Bob (bob@corp.example.com) sent a file: plan.pdf (2048 bytes) http://files/plan.pdf",
              m_printer.attachment(a));
}

TEST_F(EventPrinterTest, JoinsLeavesRemovalsAndClosesReadAsSentences) {
    // Counts are the roster's once it holds the change; the notices' own
    // leave out disconnected members.
    m_roster.add("carol@corp.example.com", "Carol");
    client::UserJoinAlarm j;
    j.userId = "carol@corp.example.com";
    j.nameInfo = "Carol";
    j.msgTime = kTime;
    j.memberCount = 2;
    j.joinType = client::JOIN_TYPE_DUMMY;
    EXPECT_EQ("[03:04:05] * Carol (carol@corp.example.com) was invited (3 members)", m_printer.joined(j));
    j.joinType = client::JOIN_TYPE_REAL;
    EXPECT_EQ("[03:04:05] * Carol (carol@corp.example.com) joined (3 members)", m_printer.joined(j));

    m_roster.remove("carol@corp.example.com");
    client::UserLeaveAlarm l;
    l.userId = "carol@corp.example.com";
    l.nameInfo = "Carol";
    l.msgTime = kTime;
    l.memberCount = 3;  // before the leave
    EXPECT_EQ("[03:04:05] * Carol (carol@corp.example.com) left (2 members)", m_printer.left(l));

    client::ForceLeaveNotice f;
    f.roomId = 42;
    f.fromId = kBob;
    f.fromName = "Bob";
    f.toId = kAlice;
    EXPECT_EQ("[03:04:05] * you were removed from room 42 by Bob (bob@corp.example.com)", m_printer.removedBy(f, kTime));
    f.fromId = kAlice;
    f.toId = kBob;
    f.toName = "";
    EXPECT_EQ("[03:04:05] * you removed Bob (bob@corp.example.com) from the room", m_printer.removed(f, kTime));

    client::SessionClose s;
    s.reason = client::SESSION_CLOSE_REASON_DUPLICATED;
    EXPECT_NE(std::string::npos, m_printer.sessionClosed(s, kTime).find("replaced by a newer one"));
    s.reason = 7;
    EXPECT_NE(std::string::npos, m_printer.sessionClosed(s, kTime).find("(reason 7)"));
}

TEST_F(EventPrinterTest, TypingNamesTheTypistWhenTheNoticeSaysWho) {
    client::TypingAlarm t;
    t.hasDetails = true;
    t.userId = kBob;
    t.state = 1;
    EXPECT_EQ("[03:04:05] * Bob (bob@corp.example.com) is typing…", m_printer.typing(t, kTime));
    t.state = 0;
    EXPECT_EQ("[03:04:05] * Bob (bob@corp.example.com) stopped typing", m_printer.typing(t, kTime));
    t.hasDetails = false;  // a client that wrote only the room id
    EXPECT_EQ("[03:04:05] * someone is typing…", m_printer.typing(t, kTime));
}

TEST_F(EventPrinterTest, EveryOutcomeCodeHasItsWords) {
    EXPECT_EQ("delivered", cli::outcomeText(client::SEND_RESULT_SUCCESS, client::OS_TYPE_PC));
    EXPECT_EQ("delivered by push or to the mobile", cli::outcomeText(client::SEND_RESULT_SUCCESS, client::OS_TYPE_MOBILE));
    EXPECT_EQ("timed out (no acknowledgement)", cli::outcomeText(client::SEND_RESULT_ACK_TIMEOUT, client::OS_TYPE_PC));
    EXPECT_EQ("not connected", cli::outcomeText(client::SEND_RESULT_NO_SESSION, 0));
    EXPECT_EQ("push failed", cli::outcomeText(client::SEND_RESULT_PUSH_FAIL, client::OS_TYPE_MOBILE));
    EXPECT_EQ("unknown outcome 42", cli::outcomeText(42, client::OS_TYPE_PC));

    const cli::outgoing_t item = sentItem(12, "hello bob");
    EXPECT_EQ("[03:04:05] you: hello bob (#12)", m_printer.accepted(item));
    client::result_entry_t r{kBob, "Bob", client::OS_TYPE_PC, client::SEND_RESULT_ACK_TIMEOUT};
    EXPECT_EQ("[03:04:05]   #12 to Bob (bob@corp.example.com): timed out (no acknowledgement)",
              m_printer.outcome(item, r, kTime));
}

TEST_F(EventPrinterTest, RefusedJoinsSayWhatTheCodeMeans) {
    EXPECT_EQ("room not found", cli::joinResultText(100));
    EXPECT_EQ("not invited: you left this room, a member must invite you again", cli::joinResultText(110));
    EXPECT_EQ("not a member of this room: a member must invite you first", cli::joinResultText(120));
    EXPECT_EQ("room type not supported", cli::joinResultText(130));
    EXPECT_EQ("request refused by the server", cli::joinResultText(515));
}

TEST_F(EventPrinterTest, MemberListMarksThisUserAndTheRoomKind) {
    EXPECT_EQ("[03:04:05] room 42: 2 members, one-to-one\n"
              "  Alice (alice@corp.example.com) - you\n"
              "  Bob (bob@corp.example.com)",
              m_printer.members(42, client::ROOM_KIND_COUPLE, kTime));
    m_roster.add("carol", "");
    EXPECT_EQ("[03:04:05] room 42: 3 members\n"
              "  Alice (alice@corp.example.com) - you\n"
              "  Bob (bob@corp.example.com)\n"
              "  carol",
              m_printer.members(42, 0, kTime));
}

TEST_F(EventPrinterTest, ReportSummaryNamesWhoseOutcomeIsMissing) {
    cli::DeliveryTracker tracker;
    const uint32_t trid = tracker.add("hi", {kBob, "carol"});
    client::MsgResult result;
    result.msgNum = 7;  // an earlier connection's message with the same trid, reported before this one's ACK
    result.trid = trid;
    result.results.push_back({kBob, "Bob", client::OS_TYPE_PC, client::SEND_RESULT_SUCCESS});
    EXPECT_FALSE(tracker.report(result));
    tracker.accept(client::MsgAck{42, 9, kAlice, trid, kTime});
    EXPECT_FALSE(tracker.report(result));
    result.msgNum = 9;
    const cli::outgoing_t* item = tracker.report(result);
    ASSERT_TRUE(item);
    EXPECT_EQ("delivery report for #9: 1 of 2 recipients reported; no outcome within 2.5 s for carol",
              m_printer.reportSummary(*item, tracker, 2.5));
}

TEST(DisplayTextTest, ControlCharactersAreEscapedAndUtf8Kept) {
    EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC", cli::displayText("caf\xC3\xA9 \xE2\x82\xAC"));
    // A colour change, a fake second line, a cursor move by C1 CSI.
    EXPECT_EQ("\\x1B[31mred", cli::displayText("\x1B[31mred"));
    EXPECT_EQ("one\\n[12:00:00] bob: two\\r\\t", cli::displayText("one\n[12:00:00] bob: two\r\t"));
    EXPECT_EQ("\\xC2\\x9B2J\\x7F\\x00", cli::displayText(std::string("\xC2\x9B" "2J\x7F\0", 6)));
    EXPECT_EQ("Bo\\x07b (x\\x1B)", cli::who("x\x1B", "Bo\x07" "b"));
}

TEST(ClockTextTest, LocalTimeFollowsTheZone) {
    const char* tz = std::getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", "UTC-2", 1);  // POSIX spelling of two hours east
    tzset();
    EXPECT_EQ("05:04:05", cli::clockText(kTime));
    if (tz) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

}  // namespace
