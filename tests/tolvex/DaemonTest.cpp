// The real tolvexd as an operator runs it: the port it serves (configured
// port plus server id) on each poller, its log files, the signals it answers,
// and the start-ups it refuses with a reason.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "client/Replies.h"
#include "support/DaemonHarness.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextShape.h"

namespace {

namespace fs = std::filesystem;

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

class DaemonTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DaemonTest, ServesOnPortPlusServerIdRereadsOnSigusr2AndEndsCleanlyOnSigterm) {
    DaemonHarness d({.iotype = GetParam(), .serverId = 3});
    // start() waits for "listening on port" with the configured port plus 3.
    ASSERT_TRUE(d.start()) << d.startError();
    std::string files;
    for (const auto& entry : fs::directory_iterator(d.dir().file("log"))) files += entry.path().filename().string() + "\n";
    for (const char* shape : {"zpx_03.NNNNNNNN.log", "chat_03.NNNNNNNN.log", "zpxstat_03.NNNNNNNN.log", "chatstat_03.log"})
        EXPECT_TRUE(hasLineOfShape(files, shape)) << shape << " among\n" << files;
    const char* banner = "20NN-NN-NN NN:NN:NN.NNN:##### tolvexd start time:NN-NN-NN NN:NN:NN #####";
    EXPECT_TRUE(hasLineOfShape(d.commandLog(), banner)) << d.commandLog();
    EXPECT_TRUE(waitFor([&] { return hasLineOfShape(d.chatLog(), banner); }));

    // The poller carries a room's traffic: a create, a join and its notice.
    client::ChatClient alice, bob;
    ASSERT_EQ(0, alice.connect(d.host(), d.port()));
    ASSERT_EQ(0, bob.connect(d.host(), d.port()));
    alice.sendRoomInit(client::RoomInitRequest{7, kAlice, "A", 1, {{kBob, "B"}}, false, {}});
    ASSERT_TRUE(alice.waitFor(client::USER_ADD_REPLY));
    ASSERT_TRUE(alice.waitFor(client::USER_JOIN_ALARM));  // bob invited
    bob.sendJoin(client::JoinRequest{7, kBob, "B", client::OS_TYPE_MOBILE});
    ASSERT_TRUE(bob.waitFor(client::USER_JOIN_REPLY));
    EXPECT_TRUE(alice.waitFor(client::USER_JOIN_ALARM)) << "bob's join is announced";

    ASSERT_TRUE(d.signal(SIGUSR1));
    ASSERT_TRUE(d.signal(SIGUSR1));
    ASSERT_TRUE(d.signal(SIGUSR2));
    ASSERT_TRUE(d.waitForCommandLog("SIGUSR2 Reread config OK"));
    // A broken file changes nothing, and the daemon says why.
    d.dir().write("config.xml", "<?xml version=\"1.0\"?><config><tolvexd><iotype>epoll</iotyp></tolvexd></config>");
    ASSERT_TRUE(d.signal(SIGUSR2));
    ASSERT_TRUE(d.waitForCommandLog("SIGUSR2 config kept, the file is broken: ")) << d.commandLog();
    EXPECT_EQ(1, d.countInCommandLog("SIGUSR2 Reread config OK"));
    EXPECT_TRUE(alice.ping());

    // SIGTERM with members connected: exit status 0, every session closed.
    EXPECT_EQ(0, d.stop()) << d.stderrText();
    EXPECT_TRUE(alice.waitClosed());
    EXPECT_TRUE(bob.waitClosed());
    EXPECT_FALSE(canConnect(d.port()));
    EXPECT_EQ(1, d.countInCommandLog("##### tolvexd stop time:"));
}

INSTANTIATE_TEST_SUITE_P(Pollers, DaemonTest, ::testing::Values("select", "poll", "epoll"));

TEST(DaemonStartFailureTest, APortInUseEndsTheDaemonWithAReason) {
    DaemonHarness first;
    ASSERT_TRUE(first.start()) << first.startError();
    TempDir other;  // its own logs and journal
    Process second(binPath("tolvexd"), {"-c", first.dir().file("config.xml"), "-n", "0", "--cmdlogpath", other.path()},
                   other.path());
    EXPECT_EQ(1, second.waitExit());
    EXPECT_NE(std::string::npos, second.stderrText().find("cannot listen on 127.0.0.1:" + std::to_string(first.port())))
        << second.stderrText();
    EXPECT_TRUE(canConnect(first.port())) << "the first daemon keeps serving";
}

// A configuration the daemon refuses: exit status 1, the reason on standard
// error, and no log files for a daemon that never ran.
void expectRefused(const std::string& from, const std::string& to, const std::string& says) {
    TempDir dir;
    // One element a line, so the reasons name a line.
    std::string xml = "<?xml version=\"1.0\"?>\n<config>\n<tolvexd>\n<servicebindaddr>127.0.0.1:" +
                      std::to_string(freeTcpPort()) + "</servicebindaddr>\n<cmdlogpath>" + dir.file("log") +
                      "</cmdlogpath>\n<iotype>epoll</iotype>\n</tolvexd>\n"
                      "<waslist><was>127.0.0.1:7080</was><was_save_msg>/save</was_save_msg></waslist>\n</config>\n";
    xml.replace(xml.find(from), from.size(), to);
    Process daemon(binPath("tolvexd"), {"-c", dir.write("config.xml", xml)}, dir.path());
    EXPECT_EQ(1, daemon.waitExit());
    EXPECT_NE(std::string::npos, daemon.stderrText().find(says)) << daemon.stderrText();
    EXPECT_FALSE(fs::exists(dir.file("log"))) << says;
}

TEST(BrokenConfigTest, EndsTheDaemonWithOneLineNamingTheFault) {
    expectRefused("epoll</iotype>", "epoll</iotyp>", "config.xml:6: not well-formed XML: mismatched tag");
    expectRefused("<was>127.0.0.1:7080</was>", "", "no usable <was> server");
}

}  // namespace
