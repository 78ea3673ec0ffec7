// Runs the real tolvexd on loopback with a generated configuration.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <ostream>
#include <vector>
#include <string>

#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextShape.h"

namespace {

namespace fs = std::filesystem;

std::string wasList(int count) {
    std::string xml;
    for (int i = 0; i < count; ++i) xml += "<was>127.0.0." + std::to_string(i + 1) + ":" + std::to_string(7080 + i) + "</was>";
    return xml;
}

class DaemonFixture : public ::testing::Test {
protected:
    void writeConfig(int basePort, const std::string& iotype, int wasCount) {
        dir.write("config.xml",
                  "<?xml version=\"1.0\"?><config><tolvexd>"
                  "<servicebindaddr>127.0.0.1:" + std::to_string(basePort) + "</servicebindaddr>"
                  "<cmdlogpath>" + dir.file("log") + "</cmdlogpath>"
                  "<iotype>" + iotype + "</iotype><isreadwas>true</isreadwas></tolvexd>"
                  "<trace><tracelogpath>/dev/null</tracelogpath></trace>"
                  "<waslist>" + wasList(wasCount) + "</waslist></config>");
    }
    std::unique_ptr<Process> startDaemon(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"-c", dir.file("config.xml")};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Process>(binPath("tolvexd"), args, dir.path());
    }
    // The log file of this stem, found by its dated name.
    std::string logFile(const std::string& shape) const {
        for (const auto& entry : fs::directory_iterator(dir.file("log")))
            if (matchesShape(entry.path().filename().string(), shape)) return entry.path().filename().string();
        return "";
    }
    std::string commandLog() const {
        const std::string name = logFile("zpx_03.NNNNNNNN.log");
        return name.empty() ? "" : dir.read("log/" + name);
    }
    static int countOf(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
        return n;
    }

    TempDir dir;
};

class DaemonTest : public DaemonFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(DaemonTest, ServesOnPortPlusServerIdWritesItsLogsAndEndsCleanlyOnSigterm) {
    fs::create_directory(dir.file("log"));
    const int port = freeTcpPort();
    writeConfig(port - 3, GetParam(), 3);
    auto daemon = startDaemon({"-n", "3"});
    ASSERT_TRUE(waitFor([&] { return canConnect(port); })) << daemon->stderrText();

    // The port accepts as soon as it is bound, a moment before the banner.
    const char* banner = "20NN-NN-NN NN:NN:NN.NNN:##### tolvexd start time:NN-NN-NN NN:NN:NN #####";
    EXPECT_TRUE(waitFor([&] { return hasLineOfShape(commandLog(), banner); })) << commandLog();
    EXPECT_NE("", logFile("zpx_03.NNNNNNNN.log"));
    EXPECT_NE("", logFile("chat_03.NNNNNNNN.log"));
    EXPECT_NE("", logFile("zpxstat_03.NNNNNNNN.log"));
    EXPECT_NE("", logFile("chatstat_03.log"));
    // Lines are batched: the chat log's banner follows within log_flush_ms.
    EXPECT_TRUE(waitFor([&] { return hasLineOfShape(dir.read("log/" + logFile("chat_03.NNNNNNNN.log")), banner); }));

    ASSERT_TRUE(daemon->signal(SIGUSR1));
    ASSERT_TRUE(daemon->signal(SIGUSR1));
    ASSERT_TRUE(daemon->signal(SIGUSR2));
    ASSERT_TRUE(waitFor([&] { return countOf(commandLog(), "SIGUSR2 Reread config OK") == 1; }));
    EXPECT_TRUE(canConnect(port));

    // A broken file changes nothing, and the daemon says why.
    writeConfig(port - 3, std::string(GetParam()) + "</iotyp><iotype>", 0);
    ASSERT_TRUE(daemon->signal(SIGUSR2));
    ASSERT_TRUE(waitFor([&] { return countOf(commandLog(), "SIGUSR2 config kept, the file is broken: ") == 1; }))
        << commandLog();
    EXPECT_EQ(1, countOf(commandLog(), "SIGUSR2 Reread config OK"));
    EXPECT_TRUE(canConnect(port));

    ASSERT_TRUE(daemon->signal(SIGTERM));
    EXPECT_EQ(0, daemon->waitExit());
    EXPECT_FALSE(canConnect(port));
    EXPECT_NE(std::string::npos, commandLog().find("##### tolvexd stop time:"));
}

INSTANTIATE_TEST_SUITE_P(Pollers, DaemonTest, ::testing::Values("select", "poll", "epoll"));

class DaemonStartFailureTest : public DaemonFixture {};

TEST_F(DaemonStartFailureTest, APortInUseEndsTheDaemonWithAReason) {
    fs::create_directory(dir.file("log"));
    const int port = freeTcpPort();  // the port served: configured port + 3
    writeConfig(port - 3, "epoll", 1);
    auto first = startDaemon({"-n", "3"});
    ASSERT_TRUE(waitFor([&] { return canConnect(port); })) << first->stderrText();

    fs::create_directory(dir.file("log2"));  // its own logs and journal
    auto second = startDaemon({"-n", "3", "--cmdlogpath", dir.file("log2")});
    EXPECT_EQ(1, second->waitExit());
    EXPECT_NE(std::string::npos, second->stderrText().find("cannot listen on 127.0.0.1:" + std::to_string(port)))
        << second->stderrText();
    EXPECT_TRUE(canConnect(port)) << "the first daemon keeps serving";
}

// One element a line, so the expected lines below stay readable.
const char* kGoodConfig = R"(<?xml version="1.0"?>
<config>
<tolvexd>
<servicebindaddr>127.0.0.1:PORT</servicebindaddr>
<cmdlogpath>LOG</cmdlogpath>
<iotype>epoll</iotype>
<msg_relay_ack_timeout_sec>10</msg_relay_ack_timeout_sec>
</tolvexd>
<ping><checkping>true</checkping></ping>
<waslist><was>127.0.0.1:7080</was><was_save_msg>/save</was_save_msg></waslist>
</config>
)";

struct broken_config_t {
    const char* name;
    const char* from;  // replaced in kGoodConfig by to
    const char* to;
    std::vector<std::string> args;
    const char* says;  // on standard error
};

void PrintTo(const broken_config_t& c, std::ostream* out) { *out << c.name; }

class BrokenConfigTest : public DaemonFixture, public ::testing::WithParamInterface<broken_config_t> {};

TEST_P(BrokenConfigTest, EndsTheDaemonWithOneLineNamingTheFault) {
    const broken_config_t& c = GetParam();
    std::string xml = kGoodConfig;
    if (*c.from) xml.replace(xml.find(c.from), std::string(c.from).size(), c.to);
    if (xml.find("PORT") != std::string::npos) xml.replace(xml.find("PORT"), 4, std::to_string(freeTcpPort()));
    xml.replace(xml.find("LOG"), 3, dir.file("log"));
    dir.write("config.xml", xml);

    auto daemon = startDaemon(c.args);
    EXPECT_EQ(1, daemon->waitExit());
    EXPECT_NE(std::string::npos, daemon->stderrText().find(c.says)) << daemon->stderrText();
    EXPECT_FALSE(fs::exists(dir.file("log"))) << "no log files for a daemon that never ran";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenConfigTest,
    ::testing::Values(
        broken_config_t{"UnknownOption", "", "", {"--bogus"}, "command line: --bogus: unknown option"},
        broken_config_t{"MissingFile", "", "", {"-c", "/nonexistent.xml"}, "/nonexistent.xml: cannot read"},
        broken_config_t{"MismatchedTag", "epoll</iotype>", "epoll</iotyp>", {}, "config.xml:6: not well-formed XML: mismatched tag"},
        broken_config_t{"MisspelledKey", "<servicebindaddr>127.0.0.1:PORT</servicebindaddr>",
                        "<servicebindadr>127.0.0.1:7000</servicebindadr>", {},
                        "config.xml: no <servicebindaddr> in <tolvexd>"},
        broken_config_t{"PortWithALetter", ":PORT", ":73x0", {}, "config.xml:4: <servicebindaddr> \"127.0.0.1:73x0\""},
        broken_config_t{"NumberInWords", ">10<", ">ten<", {}, "config.xml:7: <msg_relay_ack_timeout_sec> \"ten\""},
        broken_config_t{"BooleanNotTrueOrFalse", ">true<", ">yes<", {}, "config.xml:9: <checkping> \"yes\": not true or false"},
        broken_config_t{"UnknownIotype", ">epoll<", ">kqueue<", {}, "config.xml:6: <iotype> \"kqueue\": not one of"},
        broken_config_t{"NoWasServer", "<was>127.0.0.1:7080</was>", "", {}, "no usable <was> server"},
        broken_config_t{"OptionValueNotANumber", "", "", {"-n", "x"}, "command line: --serverid \"x\""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
