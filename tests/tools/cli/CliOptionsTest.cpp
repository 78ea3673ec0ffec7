// The command line of tolvex-cli: what it needs, both value spellings, the
// defaults, and a refusal with a reason for everything the daemon would
// refuse or that does not fit together.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CliOptions.h"

namespace {

using cli::parseCliArgs;

const std::vector<std::string> kBase = {"--server", "127.0.0.1:7000", "--user", "alice@corp.example.com", "--room",
                                        "42"};

class CliOptionsTest : public ::testing::Test {
protected:
    static cli::cli_options_t accepted(std::vector<std::string> extra) {
        extra.insert(extra.begin(), kBase.begin(), kBase.end());
        const auto r = parseCliArgs(extra);
        EXPECT_TRUE(r.ok) << r.error;
        return r.options;
    }
    // The complaint about kBase plus extra (or args alone); empty if accepted.
    static std::string refusal(std::vector<std::string> extra, bool withBase = true) {
        if (withBase) extra.insert(extra.begin(), kBase.begin(), kBase.end());
        const auto r = parseCliArgs(extra);
        EXPECT_FALSE(r.ok);
        return r.error;
    }
};

TEST_F(CliOptionsTest, JoinAsPcWithTheNameTakenFromTheId) {
    const auto o = accepted({});
    EXPECT_EQ("127.0.0.1", o.host);
    EXPECT_EQ(7000, o.port);
    EXPECT_EQ("alice@corp.example.com", o.userId);
    EXPECT_EQ("alice", o.name);
    EXPECT_EQ(42u, o.roomId);
    EXPECT_FALSE(o.mobile);
    EXPECT_FALSE(o.create);
    EXPECT_FALSE(o.oneShot);
    EXPECT_DOUBLE_EQ(cli::kDefaultTimeoutSec, o.timeoutSec);
}

TEST_F(CliOptionsTest, EveryOptionInBothSpellings) {
    const auto o = accepted({"--name=Alice A.", "--mobile", "--create", "--invite", "bob@x.com,carol@x.com",
                             "--invite=dave@x.com", "--send", "hi there", "--wait-result", "--timeout=2.5"});
    EXPECT_EQ("Alice A.", o.name);
    EXPECT_TRUE(o.mobile);
    EXPECT_TRUE(o.create);
    EXPECT_EQ((std::vector<std::string>{"bob@x.com", "carol@x.com", "dave@x.com"}), o.invitees);
    EXPECT_TRUE(o.oneShot);
    EXPECT_EQ("hi there", o.sendText);
    EXPECT_TRUE(o.waitResult);
    EXPECT_DOUBLE_EQ(2.5, o.timeoutSec);
    EXPECT_EQ(4294967295u, accepted({"--room", "4294967295"}).roomId);
    EXPECT_EQ("plain", accepted({"--user", "plain"}).name);
}

TEST_F(CliOptionsTest, MissingOrMalformedValuesAreRefusedWithTheReason) {
    EXPECT_EQ("missing --server", refusal({"--user", "a", "--room", "1"}, false));
    EXPECT_EQ("missing --user", refusal({"--server", "h:1", "--room", "1"}, false));
    EXPECT_EQ("missing --room", refusal({"--server", "h:1", "--user", "a"}, false));
    EXPECT_EQ("--timeout needs a value", refusal({"--timeout"}));
    EXPECT_NE(std::string::npos, refusal({"--server", "localhost"}).find("HOST:PORT"));
    EXPECT_NE(std::string::npos, refusal({"--server", "h:0"}).find("bad port"));
    EXPECT_NE(std::string::npos, refusal({"--server", "h:65536"}).find("bad port"));
    EXPECT_NE(std::string::npos, refusal({"--room", "4294967296"}).find("--room"));
    EXPECT_NE(std::string::npos, refusal({"--room", "-1"}).find("--room"));
    EXPECT_NE(std::string::npos, refusal({"--timeout", "0"}).find("--timeout"));
    EXPECT_NE(std::string::npos, refusal({"--timeout", "nan"}).find("--timeout"));
    EXPECT_EQ("unknown option --verbose", refusal({"--verbose"}));
    EXPECT_EQ("unexpected argument \"hello\"", refusal({"hello"}));
    EXPECT_EQ("unknown option --mobile", refusal({"--mobile=yes"}));
}

TEST_F(CliOptionsTest, FieldsTheDaemonWouldRefuseAreRefusedHere) {
    // The daemon closes the connection for any of these; say so up front.
    EXPECT_TRUE(parseCliArgs({"--server", "h:1", "--room", "1", "--user", std::string(256, 'u')}).ok);
    EXPECT_NE(std::string::npos, refusal({"--user", std::string(257, 'u')}).find("longer than 256"));
    EXPECT_NE(std::string::npos, refusal({"--name", std::string(257, 'n')}).find("longer than 256"));
    EXPECT_TRUE(parseCliArgs({"--server", "h:1", "--room", "1", "--user", "u", "--send", std::string(8192, 'm')}).ok);
    EXPECT_NE(std::string::npos, refusal({"--send", std::string(8193, 'm')}).find("longer than 8192"));
    std::string fifty = "u0";
    for (int i = 1; i < 50; ++i) fifty += ",u" + std::to_string(i);
    const std::string fiftyOne = fifty + ",u50";
    EXPECT_EQ(50u, accepted({"--create", "--invite", fifty}).invitees.size());
    EXPECT_NE(std::string::npos, refusal({"--create", "--invite", fiftyOne}).find("at most 50"));
    EXPECT_NE(std::string::npos, refusal({"--invite", "bob,,carol"}).find("empty user id"));
    EXPECT_NE(std::string::npos, refusal({"--invite", "alice@corp.example.com"}).find("already in the room"));
    EXPECT_EQ("--wait-result needs --send", refusal({"--wait-result"}));
}

TEST_F(CliOptionsTest, HelpAndVersionWinOverEverythingElse) {
    const auto help = parseCliArgs({"--bogus-first-is-refused"});
    EXPECT_FALSE(help.help);
    EXPECT_TRUE(parseCliArgs({"--help"}).help);
    EXPECT_TRUE(parseCliArgs({"--room", "1", "-h"}).help);
    EXPECT_TRUE(parseCliArgs({"--version"}).version);
    const std::string usage = cli::usageText();
    for (const char* mention : {"--server HOST:PORT", "--wait-result", "/attach NAME SIZE URL", "Exit status"})
        EXPECT_NE(std::string::npos, usage.find(mention)) << mention;
}

}  // namespace
