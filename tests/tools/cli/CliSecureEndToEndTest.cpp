// A secured deployment end to end, every process real: tolvex-was serves
// HTTPS with its own certificate and mints the join tokens; tolvexd admits
// only tokens (auth_mode required), listens for TLS only and saves through
// the HTTPS WAS; tolvex-cli users connect with --tls --ca --token. Holders
// of tokens chat and get their delivery reports; a client without a token
// or with a forged one is refused and changes nothing, and a client does
// not talk to a daemon whose certificate it cannot verify. The WAS's room
// directory, asked over HTTPS, sends clients to the TLS port.

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/DaemonHarness.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"
#include "support/TestCerts.h"
#include "support/TestTokens.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
constexpr uint32_t kRoom = 7301;

std::string transcript(const Process& p) {
    return "\nstdout:\n" + p.stdoutText() + "stderr:\n" + p.stderrText();
}

bool waitOutput(const Process& p, const std::string& text) {
    return waitFor([&] { return p.stdoutText().find(text) != std::string::npos; }, 10000);
}

int countMatches(const std::string& text, const std::regex& re) {
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

class CliSecureEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_certs.ok()) << m_certs.error();
        const TestCerts::pair_t wasPair = m_certs.issue("was");
        const TestCerts::pair_t daemonPair = m_certs.issue("daemon");
        ASSERT_FALSE(daemonPair.cert.empty()) << m_certs.error();
        m_signingKey = m_keys.write("k1-private.pem", m_k1.privatePem());

        m_was.useTls(wasPair.cert, wasPair.key);
        ASSERT_TRUE(m_was.start()) << m_was.stderrText();
        m_daemon = std::make_unique<DaemonHarness>(DaemonHarness::Options{
            .extraCommon = "<auth_mode>required</auth_mode><auth_public_key>" + m_k1.publicPath() +
                           "</auth_public_key><tls_bindaddr>127.0.0.1:0</tls_bindaddr><tls_cert>" + daemonPair.cert +
                           "</tls_cert><tls_key>" + daemonPair.key + "</tls_key><plain_listener>off</plain_listener>"
                           "<was_ca_file>" + m_certs.caFile() + "</was_ca_file>",
            .wasAddress = m_was.address()});
        ASSERT_TRUE(m_daemon->start()) << m_daemon->startError();
        std::smatch m;
        const std::string log = m_daemon->commandLog();
        ASSERT_TRUE(std::regex_search(log, m, std::regex("listening for TLS on 127\\.0\\.0\\.1:([0-9]+)"))) << log;
        m_tlsPort = std::stoi(m[1]);
    }
    void TearDown() override {
        m_clis.clear();
        if (m_daemon) {
            EXPECT_EQ(0, m_daemon->stop());
        }
    }

    // A token for user in kRoom from PC, as the WAS's token command prints it.
    std::string mint(const std::string& user) {
        Process p(binPath("tolvex-was"), {"token", "--user", user, "--room", std::to_string(kRoom), "--device", "pc",
                                          "--ttl", "300", "--signing-key", m_signingKey, "--kid", "k1"});
        EXPECT_EQ(0, p.waitExit()) << p.stderrText();
        std::string token = p.stdoutText();
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
        return token;
    }
    std::unique_ptr<Process> cli(std::vector<std::string> args, const std::string& token, bool interactive = false) {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(m_tlsPort), "--tls", "--ca",
                                   m_certs.caFile(), "--room", std::to_string(kRoom)});
        if (!token.empty()) args.insert(args.end(), {"--token", token});
        return std::make_unique<Process>(binPath("tolvex-cli"), args, "", std::vector<std::string>{}, interactive);
    }
    Process& user(std::vector<std::string> args, const std::string& token) {
        return *m_clis.emplace_back(cli(std::move(args), token, true));
    }
    bool savedAtWas(const std::string& text) const {
        return waitFor([&] { return m_was.dump().find("text \"" + text + "\"") != std::string::npos; }, 15000);
    }

    TempDir m_keys;
    TestKey m_k1{m_keys, "k1", TestKey::ES256};
    TestCerts m_certs;
    TempDir m_wasDir;
    RealWas m_was{m_wasDir};
    std::unique_ptr<DaemonHarness> m_daemon;
    std::string m_signingKey;
    int m_tlsPort = 0;
    std::vector<std::unique_ptr<Process>> m_clis;
};

TEST_F(CliSecureEndToEndTest, TokenHoldersChatOverTlsAndOthersAreRefusedWithNothingChanged) {
    Process& alice = user({"--user", kAlice, "--name", "Alice", "--create", "--invite", kBob}, mint(kAlice));
    ASSERT_TRUE(waitOutput(alice, "room " + std::to_string(kRoom) + ": 2 members")) << transcript(alice);
    // Bob finds the daemon through the WAS's room directory, over HTTPS: the
    // port the daemon reported there is the TLS one, as no other is open.
    Process& bob = user({"--user", kBob, "--name", "Bob", "--directory", m_was.address()}, mint(kBob));
    ASSERT_TRUE(waitOutput(alice, "* Bob (" + kBob + ") joined")) << transcript(alice) << transcript(bob);
    EXPECT_NE(std::string::npos, bob.stderrText().find("room 7301 is served by 127.0.0.1:" + std::to_string(m_tlsPort) +
                                                       " (directory " + m_was.address() + ")"))
        << transcript(bob);

    ASSERT_TRUE(alice.writeStdin("hello bob\n"));
    EXPECT_TRUE(waitOutput(bob, "Alice (" + kAlice + "): hello bob\n")) << transcript(bob);
    EXPECT_TRUE(waitOutput(alice, " to Bob (" + kBob + "): delivered")) << transcript(alice);
    ASSERT_TRUE(bob.writeStdin("hi alice\n"));
    EXPECT_TRUE(waitOutput(alice, "Bob (" + kBob + "): hi alice\n")) << transcript(alice);
    EXPECT_TRUE(waitOutput(bob, " to Alice (" + kAlice + "): delivered")) << transcript(bob);

    // Posing as bob, a member, would replace his session if it were let in.
    TestKey stranger(m_keys, "stranger", TestKey::ES256);
    const struct {
        const char* name;
        std::string token;
        const char* complaint;
    } intruders[] = {
        {"no token", "", "(result 516)"},
        {"forged token", testtoken::signedBy(stranger, "k1", testtoken::claims(kBob, 0, 300, ",\"room\":7301")),
         "the token was refused: bad signature or unknown key (result 2)"},
    };
    static const std::regex refusal("AUTH: \\S+ refused \\(");
    const std::string aliceBefore = alice.stdoutText();
    const std::string bobBefore = bob.stdoutText();
    for (const auto& intruder : intruders) {
        const int refused = countMatches(m_daemon->commandLog(), refusal);
        auto p = cli({"--user", kBob, "--send", "intruder", "--timeout", "10"}, intruder.token);
        EXPECT_EQ(1, p->waitExit(15000)) << intruder.name << transcript(*p);
        EXPECT_NE(std::string::npos, p->stderrText().find(intruder.complaint)) << intruder.name << transcript(*p);
        EXPECT_TRUE(waitFor([&] { return countMatches(m_daemon->commandLog(), refusal) == refused + 1; }))
            << intruder.name << m_daemon->commandLog();
    }
    // A client checks whom it talks to: under a CA that did not sign the
    // daemon's certificate (the later --ca wins) it never gets to send.
    TestCerts otherCa;
    auto wary = cli({"--user", kBob, "--send", "intruder", "--ca", otherCa.caFile()}, mint(kBob));
    EXPECT_EQ(3, wary->waitExit(15000)) << transcript(*wary);
    EXPECT_NE(std::string::npos, wary->stderrText().find("TLS: certificate verify failed")) << transcript(*wary);

    // Bob's session is his still: what he says now is the first news alice
    // has since the intruders came.
    ASSERT_TRUE(bob.writeStdin("still me\n"));
    ASSERT_TRUE(waitOutput(alice, "Bob (" + kBob + "): still me\n")) << transcript(alice);
    EXPECT_TRUE(bob.running()) << transcript(bob);
    const std::string aliceNews = alice.stdoutText().substr(aliceBefore.size());
    EXPECT_EQ(aliceNews.size() - 1, aliceNews.find('\n')) << "one line only:\n" << aliceNews;
    EXPECT_EQ(std::string::npos, bob.stdoutText().find("intruder", bobBefore.size())) << transcript(bob);

    for (const char* text : {"hello bob", "hi alice", "still me"}) EXPECT_TRUE(savedAtWas(text)) << text << m_was.dump();
    EXPECT_EQ(std::string::npos, m_was.dump().find("intruder")) << m_was.dump();
    alice.closeStdin();
    EXPECT_EQ(0, alice.waitExit(8000)) << transcript(alice);
}

}  // namespace
