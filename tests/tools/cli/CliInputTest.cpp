// Typed input: slash commands with their arguments checked before anything
// goes on the wire, the line buffer's bound, and the delivery bookkeeping
// that decides when a sent message is fully reported.

#include <gtest/gtest.h>

#include <string>

#include "cli/CliCommand.h"
#include "cli/DeliveryTracker.h"
#include "client/Protocol.h"

namespace {

using cli::command_kind_t;
using cli::parseInputLine;

TEST(CliCommandTest, PlainLinesAreMessagesAndDoubleSlashEscapes) {
    EXPECT_EQ(command_kind_t::kNone, parseInputLine("").kind);
    EXPECT_EQ(command_kind_t::kNone, parseInputLine(" \t ").kind);
    const auto m = parseInputLine("hello / there");
    EXPECT_EQ(command_kind_t::kMessage, m.kind);
    EXPECT_EQ("hello / there", m.text);
    const auto slash = parseInputLine("//etc/hosts is a file");
    EXPECT_EQ(command_kind_t::kMessage, slash.kind);
    EXPECT_EQ("/etc/hosts is a file", slash.text);
    EXPECT_EQ(command_kind_t::kMessage, parseInputLine(std::string(client::kMaxMsgLen, 'x')).kind);
    const auto tooLong = parseInputLine(std::string(client::kMaxMsgLen + 1, 'x'));
    EXPECT_EQ(command_kind_t::kError, tooLong.kind);
    EXPECT_NE(std::string::npos, tooLong.error.find("not sent"));
}

TEST(CliCommandTest, CommandsTakeTheirArguments) {
    const auto invite = parseInputLine("/invite bob@x.com,carol@x.com");
    EXPECT_EQ(command_kind_t::kInvite, invite.kind);
    EXPECT_EQ((std::vector<std::string>{"bob@x.com", "carol@x.com"}), invite.ids);
    const auto kick = parseInputLine("/kick  bob@x.com ");
    EXPECT_EQ(command_kind_t::kKick, kick.kind);
    EXPECT_EQ("bob@x.com", kick.ids.at(0));
    const auto attach = parseInputLine("/attach plan.pdf 4294967295 http://files/plan.pdf");
    EXPECT_EQ(command_kind_t::kAttach, attach.kind);
    EXPECT_EQ("plan.pdf", attach.fileName);
    EXPECT_EQ(4294967295u, attach.fileSize);
    EXPECT_EQ("http://files/plan.pdf", attach.url);
    EXPECT_TRUE(parseInputLine("/typing").typing);
    EXPECT_FALSE(parseInputLine("/typing off").typing);
    EXPECT_EQ(command_kind_t::kLeave, parseInputLine("/leave").kind);
    EXPECT_EQ(command_kind_t::kMembers, parseInputLine("/members").kind);
    EXPECT_EQ(command_kind_t::kQuit, parseInputLine("/quit").kind);
    EXPECT_EQ(command_kind_t::kHelp, parseInputLine("/help").kind);
}

TEST(CliCommandTest, BadArgumentsAreRefusedLocally) {
    auto error = [](const std::string& line) {
        const auto c = parseInputLine(line);
        EXPECT_EQ(command_kind_t::kError, c.kind) << line;
        return c.error;
    };
    EXPECT_EQ("unknown command /frobnicate (try /help)", error("/frobnicate"));
    EXPECT_EQ("usage: /invite ID[,ID...]", error("/invite"));
    EXPECT_NE(std::string::npos, error("/invite bob,").find("empty user id"));
    std::string many = "u0";
    for (int i = 1; i <= 50; ++i) many += ",u" + std::to_string(i);
    EXPECT_NE(std::string::npos, error("/invite " + many).find("at most 50"));
    EXPECT_EQ("usage: /kick ID", error("/kick a b"));
    EXPECT_NE(std::string::npos, error("/kick " + std::string(257, 'k')).find("too long"));
    EXPECT_EQ("usage: /attach NAME SIZE URL", error("/attach plan.pdf 12"));
    EXPECT_NE(std::string::npos, error("/attach a 4294967296 u").find("SIZE"));
    EXPECT_NE(std::string::npos, error("/attach a -1 u").find("SIZE"));
    EXPECT_NE(std::string::npos, error("/attach a 12k u").find("SIZE"));
    EXPECT_NE(std::string::npos, error("/attach " + std::string(2049, 'f') + " 1 u").find("file name"));
    EXPECT_NE(std::string::npos, error("/attach f 1 " + std::string(4097, 'u')).find("URL"));
    EXPECT_EQ("usage: /typing [on|off]", error("/typing maybe"));
    EXPECT_EQ("usage: /quit", error("/quit now"));
}

TEST(LineBufferTest, LinesAcrossPiecesAndTheLastOneWithoutNewline) {
    cli::LineBuffer lines;
    lines.feed("hel", 3);
    EXPECT_FALSE(lines.next());
    lines.feed("lo\r\nsecond\nthi", 14);
    EXPECT_EQ("hello", lines.next()->text);
    EXPECT_EQ("second", lines.next()->text);
    EXPECT_FALSE(lines.next());
    lines.feed("rd", 2);
    EXPECT_EQ("third", lines.finish()->text);
    EXPECT_FALSE(lines.finish());
}

TEST(LineBufferTest, AnOverlongLineIsDroppedOnceAndTheNextOneSurvives) {
    cli::LineBuffer lines;
    const std::string chunk(cli::LineBuffer::kMaxLineBytes / 2 + 1, 'x');
    lines.feed(chunk.data(), chunk.size());
    EXPECT_FALSE(lines.next());
    lines.feed(chunk.data(), chunk.size());  // now over the bound, still no newline
    const auto dropped = lines.next();
    ASSERT_TRUE(dropped);
    EXPECT_TRUE(dropped->tooLong);
    lines.feed(chunk.data(), chunk.size());  // more of the same line: not reported again
    EXPECT_FALSE(lines.next());
    lines.feed("tail\nnext\n", 10);
    const auto after = lines.next();
    ASSERT_TRUE(after);
    EXPECT_FALSE(after->tooLong);
    EXPECT_EQ("next", after->text);
}

TEST(DeliveryTrackerTest, SettledOnceAcceptedAndEveryRecipientReported) {
    cli::DeliveryTracker tracker;
    const uint32_t first = tracker.add("one", {"bob", "carol"});
    const uint32_t alone = tracker.add("two", {});
    EXPECT_NE(first, alone);
    EXPECT_FALSE(tracker.settled(alone));  // not accepted yet
    ASSERT_TRUE(tracker.accept(client::MsgAck{1, 8, "alice", alone, 100}));
    EXPECT_TRUE(tracker.settled(alone));
    EXPECT_FALSE(tracker.accept(client::MsgAck{1, 9, "alice", 999, 100}));  // not ours

    ASSERT_TRUE(tracker.accept(client::MsgAck{1, 7, "alice", first, 100}));
    client::MsgResult r;
    r.msgNum = 7;
    r.trid = first;
    r.results = {{"bob", "", client::OS_TYPE_PC, client::SEND_RESULT_ACK_TIMEOUT}};
    ASSERT_TRUE(tracker.report(r));
    EXPECT_EQ(std::vector<std::string>{"carol"}, tracker.missing(first));
    EXPECT_FALSE(tracker.allSettled());
    // Same trid, another message number: a notice about someone else's message.
    r.msgNum = 70;
    EXPECT_FALSE(tracker.report(r));
    r.msgNum = 7;
    r.results = {{"carol", "", client::OS_TYPE_MOBILE, client::SEND_RESULT_PUSH_FAIL}};
    ASSERT_TRUE(tracker.report(r));
    EXPECT_TRUE(tracker.settled(first));
    EXPECT_TRUE(tracker.allSettled());
}

}  // namespace
