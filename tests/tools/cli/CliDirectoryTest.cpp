// tolvex-cli --directory: two daemons share one real tolvex-was, a room is
// held by the daemon that saved into it, and the client asks the WAS's room
// directory where to connect. The directory's reply is read as untrusted.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/RoomDirectory.h"
#include "support/DaemonHarness.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

class CliDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_was.start()) << m_was.stderrText();
        for (auto* daemon : {&m_first, &m_second}) {
            *daemon = std::make_unique<DaemonHarness>(DaemonHarness::Options{.wasAddress = m_was.address()});
            ASSERT_TRUE((*daemon)->start()) << (*daemon)->startError();
        }
    }

    // A one-shot run that sends text to room through the daemon at port.
    std::unique_ptr<Process> send(int port, std::vector<std::string> args) {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(port), "--timeout", "15"});
        auto cli = std::make_unique<Process>(binPath("tolvex-cli"), args);
        cli->waitExit(20000);
        return cli;
    }
    std::string directoryArg() const { return "--directory=" + m_was.address(); }

    TempDir m_dir;
    RealWas m_was{m_dir};
    std::unique_ptr<DaemonHarness> m_first;
    std::unique_ptr<DaemonHarness> m_second;
};

TEST_F(CliDirectoryTest, ClientGoesToTheDaemonTheDirectoryNames) {
    const int first = m_first->port();
    const int second = m_second->port();
    auto creator = send(first, {"--user", kAlice, "--room", "7301", "--create", "--invite", kBob, "--send", "hi"});
    ASSERT_EQ(0, creator->waitExit()) << creator->stderrText();
    ASSERT_TRUE(waitFor([&] { return m_was.dump().find("room 7301 ") != std::string::npos; }, 10000));

    // Pointed at the second daemon, the client still reaches the room on the first.
    auto viaDirectory = send(second, {"--user", kBob, "--room", "7301", "--send", "hello", directoryArg()});
    EXPECT_EQ(0, viaDirectory->waitExit()) << viaDirectory->stderrText();
    EXPECT_EQ("tolvex-cli: room 7301 is served by 127.0.0.1:" + std::to_string(first) + " (directory " +
                  m_was.address() + ")\n",
              viaDirectory->stderrText());

    // Without it, the second daemon's reload is refused: it logs, loads
    // nothing and keeps serving; the client gets no room.
    auto direct = send(second, {"--user", kBob, "--room", "7301", "--send", "lost"});
    EXPECT_NE(0, direct->waitExit());
    EXPECT_TRUE(m_second->waitForCommandLog("Quillon RoomReload: room 7301 failed (" +
                                            std::string(DaemonHarness::kLoadRoomPage) +
                                            "): 409 room held by another daemon"))
        << m_second->commandLog();
    EXPECT_TRUE(m_second->running());

    // A room the WAS does not know yet opens where --server says.
    auto fresh = send(second, {"--user", kBob, "--room", "7302", "--create", "--send", "new", directoryArg()});
    EXPECT_EQ(0, fresh->waitExit()) << fresh->stderrText();
    EXPECT_EQ("tolvex-cli: room 7302 is not known to the directory; using 127.0.0.1:" + std::to_string(second) + "\n",
              fresh->stderrText());
}

TEST(CliDirectoryOptionTest, DirectoryWantsHostAndPort) {
    const std::vector<std::string> base = {"--server", "h:1", "--user", "u", "--room", "1", "--directory"};
    for (const char* bad : {"was", ":7080", "was:0", "was:65536", "was:80x"}) {
        std::vector<std::string> args = base;
        args.push_back(bad);
        EXPECT_FALSE(cli::parseCliArgs(args).ok) << bad;
    }
    std::vector<std::string> args = base;
    args.push_back("was.example:7080");
    const cli::cli_parse_t parsed = cli::parseCliArgs(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ("was.example", parsed.options.directoryHost);
    EXPECT_EQ(7080, parsed.options.directoryPort);
}

struct reply_case_t {
    const char* name;
    std::string body;
    cli::room_holder_t::Kind kind;
};
// ctest's test list shows the case's name, not its bytes.
void PrintTo(const reply_case_t& c, std::ostream* os) { *os << c.name; }

class RoomHolderReplyTest : public ::testing::TestWithParam<reply_case_t> {};

TEST_P(RoomHolderReplyTest, IsReadOrRefused) {
    EXPECT_EQ(GetParam().kind, cli::readRoomHolder(GetParam().body).kind);
}

const std::string kOk = std::string("\xFE\0\0\0", 4);
std::string room(const std::string& ip, const std::string& port) {
    return kOk + "<rooms><room room_id=\"5\" tenant_id=\"t\" svr_ip=\"" + ip + "\" svr_port=\"" + port + "\"/></rooms>";
}
using Kind = cli::room_holder_t::Kind;

INSTANTIATE_TEST_SUITE_P(
    Replies, RoomHolderReplyTest,
    ::testing::Values(reply_case_t{"Held", room("10.0.0.1", "7000"), Kind::kHeld},
                      reply_case_t{"NotHeld", room("", "0"), Kind::kNotHeld},
                      reply_case_t{"NotFound", std::string("\xFE\x94\x01\x0cunknown room", 16), Kind::kNotFound},
                      reply_case_t{"Refused", std::string("\xFE\xf4\x01\x00", 4), Kind::kFailed},
                      reply_case_t{"TextPastTheEnd", std::string("\xFE\0\0\x09short", 9), Kind::kFailed},
                      reply_case_t{"NoHeader", "<rooms/>", Kind::kFailed},
                      reply_case_t{"PortOutOfRange", room("h", "65536"), Kind::kFailed},
                      reply_case_t{"BrokenXml", kOk + "<rooms><room svr_ip=\"h\" svr_port=\"1\">", Kind::kFailed},
                      reply_case_t{"NoRoom", kOk + "<rooms></rooms>", Kind::kFailed}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
