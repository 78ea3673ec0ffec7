// Typed input: arguments past the daemon's bounds are refused before anything
// goes on the wire; and the delivery bookkeeping that decides when a sent
// message is fully reported.

#include <gtest/gtest.h>

#include <string>

#include "cli/CliCommand.h"
#include "cli/DeliveryTracker.h"
#include "client/Protocol.h"

namespace {

using cli::command_kind_t;
using cli::parseInputLine;

TEST(CliCommandTest, ArgumentsAreAcceptedAtTheirBoundsAndRefusedOnePast) {
    std::string fifty = "u0";
    for (int i = 1; i < 50; ++i) fifty += ",u" + std::to_string(i);
    const std::string name(cli::kMaxFileNameLen, 'f');
    const std::string url(cli::kMaxUrlLen, 'u');
    for (const std::string& line : {std::string(client::kMaxMsgLen, 'x'), "/invite " + fifty,
                                    "/kick " + std::string(client::kMaxIdLen, 'k'),
                                    "/attach " + name + " 4294967295 " + url})
        EXPECT_NE(command_kind_t::kError, parseInputLine(line).kind) << line.substr(0, 20);

    auto error = [](const std::string& line) {
        const auto c = parseInputLine(line);
        EXPECT_EQ(command_kind_t::kError, c.kind) << line.substr(0, 20);
        return c.error;
    };
    EXPECT_NE(std::string::npos, error(std::string(client::kMaxMsgLen + 1, 'x')).find("not sent"));
    EXPECT_NE(std::string::npos, error("/invite " + fifty + ",u50").find("at most 50"));
    EXPECT_NE(std::string::npos, error("/kick " + std::string(client::kMaxIdLen + 1, 'k')).find("too long"));
    EXPECT_NE(std::string::npos, error("/attach " + name + "f 1 u").find("file name"));
    EXPECT_NE(std::string::npos, error("/attach f 1 " + url + "u").find("URL"));
    for (const char* size : {"4294967296", "-1", "12k"})
        EXPECT_NE(std::string::npos, error(std::string("/attach a ") + size + " u").find("SIZE")) << size;
}

TEST(DeliveryTrackerTest, SettledOnceAcceptedAndEveryRecipientReported) {
    cli::DeliveryTracker tracker;
    const uint32_t first = tracker.add("one", {"bob", "carol"});
    EXPECT_FALSE(tracker.accept(client::MsgAck{1, 9, "alice", 999, 100}));  // not ours

    client::MsgResult r;
    r.msgNum = 7;
    r.trid = first;
    r.results = {{"bob", "", client::OS_TYPE_PC, client::SEND_RESULT_ACK_TIMEOUT}};
    // Reported before its ACK: an earlier connection's message with the same trid.
    EXPECT_FALSE(tracker.report(r));
    ASSERT_TRUE(tracker.accept(client::MsgAck{1, 7, "alice", first, 100}));
    ASSERT_TRUE(tracker.report(r));
    EXPECT_EQ(std::vector<std::string>{"carol"}, tracker.missing(first));
    EXPECT_FALSE(tracker.allSettled());
    r.msgNum = 70;  // same trid, another message number: someone else's message
    EXPECT_FALSE(tracker.report(r));
    r.msgNum = 7;
    r.results = {{"carol", "", client::OS_TYPE_MOBILE, client::SEND_RESULT_PUSH_FAIL}};
    ASSERT_TRUE(tracker.report(r));
    EXPECT_TRUE(tracker.settled(first));
    EXPECT_TRUE(tracker.allSettled());
}

}  // namespace
