// tolvexd --check-config: the settings a start would run with, the warnings
// it would give, and the refusals it would end with, without starting.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TestCerts.h"

namespace {

namespace fs = std::filesystem;

// One element a line, so the line numbers below stay readable.
const char* kConfig = R"(<?xml version="1.0"?>
<config>
<tolvexd>
<servicebindaddr>127.0.0.1:7000</servicebindaddr>
<cmdlogpath>LOG</cmdlogpath>
<iotype>epoll</iotype>
<msg_result_ack_timeout_sec>30</msg_result_ack_timeout_sec>
</tolvexd>
<trace><tracelogpath>/dev/null</tracelogpath></trace>
<waslist>
<was>127.0.0.1:7080</was>
<was>127.0.0.1:7081</was>
</waslist>
</config>
)";

class CheckConfigTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(dir.file("log")); }

    // kConfig with from replaced by to, the log folder in this test's directory.
    void writeConfig(const std::string& from = "", const std::string& to = "") {
        std::string xml = kConfig;
        if (!from.empty()) xml.replace(xml.find(from), from.size(), to);
        xml.replace(xml.find("LOG"), 3, dir.file("log"));
        dir.write("config.xml", xml);
    }
    // tolvexd with "-c config.xml" and args; its exit status.
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", dir.file("config.xml")});
        Process daemon(binPath("tolvexd"), args, dir.path());
        const int status = daemon.waitExit(10000);
        out = daemon.stdoutText();
        err = daemon.stderrText();
        if (status < 0) daemon.signal(SIGKILL);
        return status;
    }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    static bool has(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool errSays(const std::string& text) const { return err.find(text) != std::string::npos; }

    TempDir dir;
    std::string out;
    std::string err;
};

TEST_F(CheckConfigTest, PrintsTheSettingsAStartWouldRunWithAndWarnsOfUnknownElements) {
    writeConfig("</tolvexd>\n", "<msg_relay_ack_timeout>5</msg_relay_ack_timeout>\n</tolvexd>\n"
                                 "<pign><checkping>false</checkping></pign>\n");
    ASSERT_EQ(0, run({"--check-config", "-n", "2", "--msg_result_ack_timeout_sec", "45"})) << err;

    const std::vector<std::string> settings = lines(out);
    for (const std::string& line : settings) EXPECT_NE(std::string::npos, line.find(" = ")) << line;
    EXPECT_TRUE(has(settings, "servicebindaddr = 127.0.0.1:7000")) << out;
    EXPECT_TRUE(has(settings, "serverid = 2")) << out;
    EXPECT_TRUE(has(settings, "msg_result_ack_timeout_sec = 45")) << "the command line wins over the file";
    EXPECT_TRUE(has(settings, "msg_relay_ack_timeout_sec = 10")) << "the misspelt key leaves the default";
    EXPECT_TRUE(has(settings, "checkping = true")) << "the misspelt section is not read";
    EXPECT_TRUE(has(settings, "journal_path = " + dir.file("log") + "/journal_02")) << out;
    EXPECT_TRUE(has(settings, "was = 127.0.0.1:7080"));
    EXPECT_TRUE(has(settings, "was = 127.0.0.1:7081"));
    EXPECT_TRUE(has(settings, "max_open_files = 0"));

    EXPECT_TRUE(errSays("config.xml:8: <msg_relay_ack_timeout>: unknown in <tolvexd>, ignored")) << err;
    EXPECT_TRUE(errSays("config.xml:10: <pign>: not a section tolvexd reads")) << err;
    EXPECT_TRUE(errSays("a start would go ahead (")) << err;
    EXPECT_TRUE(fs::is_empty(dir.file("log"))) << "no log and no journal for a check";
}

TEST_F(CheckConfigTest, WarnsOfAListenerBeyondLoopbackWithoutTokensOrTls) {
    writeConfig("127.0.0.1:7000", "0.0.0.0:7000");
    ASSERT_EQ(0, run({"--check-config"})) << err;
    EXPECT_TRUE(errSays("<auth_mode> off on a listener beyond loopback")) << err;
    EXPECT_TRUE(errSays("<servicebindaddr> listens beyond loopback without TLS")) << err;
}

TEST_F(CheckConfigTest, TlsKeyThatDoesNotMatchTheCertificateIsRefused) {
    TestCerts certs;
    const TestCerts::pair_t one = certs.issue("one"), two = certs.issue("two");
    ASSERT_FALSE(two.key.empty()) << certs.error();
    writeConfig();
    EXPECT_EQ(1, run({"--check-config", "--tls_bindaddr", "127.0.0.1:7443", "--tls_cert", one.cert, "--tls_key", two.key}));
    EXPECT_TRUE(errSays("the key " + two.key + " does not match the certificate " + one.cert)) << err;
    EXPECT_EQ(0, run({"--check-config", "--tls_bindaddr", "127.0.0.1:7443", "--tls_cert", one.cert, "--tls_key", one.key}))
        << err;
}

struct refusal_t {
    const char* name;
    const char* from;  // replaced in kConfig by to
    const char* to;
    std::vector<std::string> args;
    const char* says;  // on standard error, by the check and by a start alike
};

void PrintTo(const refusal_t& r, std::ostream* os) { *os << r.name; }

class CheckConfigRefusalTest : public CheckConfigTest, public ::testing::WithParamInterface<refusal_t> {};

TEST_P(CheckConfigRefusalTest, FailsWithTheReasonAStartWouldGive) {
    const refusal_t& r = GetParam();
    writeConfig(r.from, r.to);
    std::vector<std::string> args = r.args;
    args.push_back("--check-config");
    EXPECT_EQ(1, run(args));
    EXPECT_TRUE(errSays(r.says)) << err;
    EXPECT_TRUE(errSays("a start would be refused")) << err;
    EXPECT_EQ("", out) << "no settings for a file a start refuses";

    EXPECT_EQ(1, run(r.args)) << "a start refuses it too";
    EXPECT_TRUE(errSays(r.says)) << err;
    EXPECT_TRUE(!fs::exists(dir.file("log")) || fs::is_empty(dir.file("log"))) << "nothing opened";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckConfigRefusalTest,
    ::testing::Values(
        refusal_t{"BadAddress", ":7000<", ":70000<", {}, "config.xml:4: <servicebindaddr> \"127.0.0.1:70000\": not host:port"},
        refusal_t{"UnknownIotype", ">epoll<", ">kqueue<", {}, "config.xml:6: <iotype> \"kqueue\": not one of select poll epoll"},
        refusal_t{"MissingLogFolder", "", "", {"--cmdlogpath", "/nonexistent/log"},
                  "<cmdlogpath> \"/nonexistent/log\": the logs cannot be written there: No such file or directory"},
        refusal_t{"LogFolderIsAFile", "", "", {"--cmdlogpath", "/dev/null"},
                  "<cmdlogpath> \"/dev/null\": the logs cannot be written there: not a folder"},
        refusal_t{"JournalFolderOutOfReach", "", "", {"--journal_path", "/nonexistent/journal"},
                  "journal folder \"/nonexistent/journal\": cannot be created in /nonexistent"},
        refusal_t{"EmptyWasList", "<was>127.0.0.1:7080</was>\n<was>127.0.0.1:7081</was>", "", {},
                  "no usable <was> server in <waslist>"},
        refusal_t{"WasWithoutAPort", ":7081<", ":http<", {}, "<was> 127.0.0.1:http has no port from 1 to 65535"},
        refusal_t{"TooFewOpenFiles", "", "", {"--max_open_files", "10"}, "<max_open_files> 10: fewer than"},
        refusal_t{"TokensRequiredWithoutAKey", "", "", {"--auth_mode", "required"},
                  "<auth_mode> required without <auth_public_key> or <auth_hmac_secret_file>"},
        refusal_t{"UnreadableTokenKey", "", "", {"--auth_public_key", "/nonexistent/k1.pem"},
                  "join token key: /nonexistent/k1.pem: No such file or directory"},
        refusal_t{"ShortTokenSecret", "", "", {"--auth_hmac_secret_file", "/dev/null"},
                  "an HS256 secret of fewer than 32 bytes"},
        refusal_t{"TlsPairThatDoesNotLoad", "", "",
                  {"--tls_bindaddr", "127.0.0.1:7443", "--tls_cert", "/nonexistent/c.pem", "--tls_key", "/nonexistent/k.pem"},
                  "<tls_cert>/<tls_key>: cannot load the certificate /nonexistent/c.pem"},
        refusal_t{"TlsOnlyWithoutATlsListener", "", "", {"--plain_listener", "off"},
                  "<plain_listener> off without <tls_bindaddr>"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
