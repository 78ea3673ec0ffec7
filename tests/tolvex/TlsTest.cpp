// TLS against the real daemon and the real WAS: a chat over the TLS
// listener, handshakes that never finish, a certificate swapped by SIGUSR2,
// the send limit over TLS, a daemon that serves TLS only, and HTTPS to WAS
// servers of which the first fails verification.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "ChatLoopback.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TestCerts.h"

namespace {

namespace fs = std::filesystem;

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

// The port the command log says the TLS listener is on; 0 if none.
int tlsPort(const DaemonHarness& d) {
    std::smatch m;
    const std::string log = d.commandLog();
    static const std::regex line("listening for TLS on 127\\.0\\.0\\.1:([0-9]+)");
    return std::regex_search(log, m, line) ? std::stoi(m[1]) : 0;
}

std::string tlsKeys(const TestCerts::pair_t& pair) {
    return "<tls_bindaddr>127.0.0.1:0</tls_bindaddr><tls_cert>" + pair.cert + "</tls_cert><tls_key>" + pair.key +
           "</tls_key>";
}

// Clients of these suites connect over TLS, verifying the daemon against
// the test CA.
class TlsChatTest : public ChatLoopbackTest {
protected:
    static void startTlsDaemon(const std::string& extraCommon) {
        s_certs = std::make_unique<TestCerts>();
        s_pair = s_certs->issue("daemon");
        ASSERT_FALSE(s_pair.cert.empty()) << s_certs->error();
        startDaemon({.extraCommon = tlsKeys(s_pair) + extraCommon});
        s_tls = {tlsPort(daemon()), s_certs->caFile()};
        ASSERT_NE(0, s_tls.port) << daemon().commandLog();
    }
    static void TearDownTestSuite() {
        ChatLoopbackTest::TearDownTestSuite();
        s_certs.reset();
    }

    inline static std::unique_ptr<TestCerts> s_certs;
    inline static TestCerts::pair_t s_pair;
};

class TlsListenerTest : public TlsChatTest {
protected:
    // A one-second handshake limit; the send limit and request rate as the
    // plain slow-receiver test has them.
    static void SetUpTestSuite() {
        startTlsDaemon("<tls_handshake_timeout_sec>1</tls_handshake_timeout_sec>"
                       "<send_buffer_max>65536</send_buffer_max><session_msg_rate>0</session_msg_rate>");
    }
};

TEST_F(TlsListenerTest, ChatOverTlsRelaysTheMessageAndReportsItsDelivery) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    const uint32_t n = say(alice, room, kAlice, "over TLS");
    ASSERT_NE(0u, n);
    auto relay = bob.waitFor(client::MSG_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_EQ("over TLS", client::decodeMsgRelay(*relay)->msg);
    bob.sendRelayAck({room, n, kBob, 9, client::OS_TYPE_PC});

    const auto notice = noticeFor(alice, n);
    ASSERT_TRUE(notice) << daemon().commandLog();
    ASSERT_EQ(1u, notice->results.size());
    EXPECT_EQ(kBob, notice->results[0].userId);
    EXPECT_EQ(client::SEND_RESULT_SUCCESS, notice->results[0].code);
}

// None of them ever completes a handshake: the plain-text client fails it
// at once, the others are cut off by the one-second limit. The TLS client
// meanwhile is served as ever.
TEST_F(TlsListenerTest, HandshakesThatNeverFinishAreClosedWhileTlsClientsCarryOn) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice);
    Client plain, halfHello, silent;
    for (Client* c : {&plain, &halfHello, &silent}) ASSERT_EQ(0, c->connect(daemon().host(), s_tls.port));
    plain.sendRoomInit(roomInit(freshRoom(), kCarol, {}));
    halfHello.sendRaw(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));  // a ClientHello's start

    for (Client* c : {&plain, &halfHello, &silent}) EXPECT_TRUE(c->waitClosed()) << c->closeReason();
    EXPECT_TRUE(plain.pending().empty());
    EXPECT_NE(0u, say(alice, room, kAlice, "still served"));
}

TEST_F(TlsListenerTest, SigusrTwoGivesNewConnectionsTheNewCertificateAndKeepsTheOld) {
    const uint32_t room = freshRoom();
    Client& before = openRoom(room, kAlice);
    const std::string first = before.tls()->peerFingerprint();

    const TestCerts::pair_t renewed = s_certs->issue("renewed");
    fs::copy_file(renewed.cert, s_pair.cert, fs::copy_options::overwrite_existing);
    fs::copy_file(renewed.key, s_pair.key, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(daemon().signal(SIGUSR2));
    ASSERT_TRUE(daemon().waitForCommandLog("SIGUSR2 TLS pair loaded"));
    EXPECT_NE(0u, say(before, room, kAlice, "on the old certificate"));
    const std::string second = connect().tls()->peerFingerprint();
    EXPECT_NE(first, second);

    // A certificate that does not match the key leaves the pair in use.
    const TestCerts::pair_t other = s_certs->issue("other");
    fs::copy_file(other.cert, s_pair.cert, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(daemon().signal(SIGUSR2));
    ASSERT_TRUE(daemon().waitForCommandLog("SIGUSR2 TLS pair kept"));
    EXPECT_EQ(second, connect().tls()->peerFingerprint());
}

TEST_F(TlsListenerTest, AReceiverThatStopsReadingIsClosedAtTheSendLimit) {
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice, {kBob, kCarol});
    Client& bob = joinAs(room, kBob, client::OS_TYPE_PC);
    joinAs(room, kCarol, client::OS_TYPE_PC);  // reads nothing from here on
    const std::string cutOff = "send_buffer_max reached: userid=" + kCarol + ", room_id=" + std::to_string(room);
    int sent = 0;
    for (; sent < 3000 && (sent % 25 != 0 || daemon().countInCommandLog(cutOff) == 0); ++sent) {
        ASSERT_NE(0u, say(alice, room, kAlice, std::string(8000, 'm'))) << "message " << sent;
        ASSERT_TRUE(bob.waitFor(client::MSG_RELAY)) << "bob, message " << sent;
    }
    ASSERT_EQ(1, daemon().countInCommandLog(cutOff)) << sent << " messages sent";
    ASSERT_NE(0u, say(alice, room, kAlice, "still here"));
    EXPECT_TRUE(bob.waitFor(client::MSG_RELAY));
}

class TlsOnlyTest : public TlsChatTest {
protected:
    static void SetUpTestSuite() { startTlsDaemon("<plain_listener>off</plain_listener>"); }
};

TEST_F(TlsOnlyTest, PlainConnectionsAreRefusedAndTlsClientsServed) {
    Client plain;
    EXPECT_EQ(ECONNREFUSED, plain.connect(daemon().host(), daemon().port()));
    const uint32_t room = freshRoom();
    Client& alice = openRoom(room, kAlice);
    EXPECT_NE(0u, say(alice, room, kAlice, "TLS only"));
}

// WAS A's certificate is signed by the CA the daemon trusts but names
// another host; WAS B's is right. Every save ends at B, and the attempts
// on A are logged with the verification's reason.
TEST(HttpsWasTest, ServerThatFailsVerificationIsPassedOverAndTheMessageSavedAtTheNext) {
    TestCerts certs;
    const TestCerts::pair_t wrongName = certs.issue("was-a", "DNS:elsewhere.example");
    const TestCerts::pair_t right = certs.issue("was-b");
    ASSERT_FALSE(right.cert.empty()) << certs.error();
    TempDir dirA, dirB;
    RealWas a(dirA), b(dirB);
    a.useTls(wrongName.cert, wrongName.key);
    b.useTls(right.cert, right.key);
    ASSERT_TRUE(a.start()) << a.stderrText();
    ASSERT_TRUE(b.start()) << b.stderrText();
    DaemonHarness d({.wasTimeoutSec = 3,
                     .extraCommon = "<was_ca_file>" + certs.caFile() + "</was_ca_file>",
                     .wasAddress = a.address() + " " + b.address()});
    ASSERT_TRUE(d.start()) << d.startError();

    Client alice;
    ASSERT_EQ(0, alice.connect(d.host(), d.port()));
    alice.sendRoomInit(roomInit(7001, kAlice, {}));
    ASSERT_TRUE(alice.waitFor(client::ROOM_CREATE_REPLY));
    // Jobs take the servers in turn: among three saves one starts at A.
    for (const char* text : {"one", "two", "three"}) ASSERT_NE(0u, say(alice, 7001, kAlice, text));
    for (const char* text : {"one", "two", "three"})
        EXPECT_TRUE(waitFor([&] { return b.dump().find("text \"" + std::string(text) + "\"") != std::string::npos; },
                            15000))
            << text << "\n" << b.dump() << d.commandLog();
    EXPECT_EQ(std::string::npos, a.dump().find("text \""));
    EXPECT_TRUE(d.waitForCommandLog("HTTPS to 127.0.0.1 (" + a.listenAddress() +
                                    ") failed: certificate verify failed: IP address mismatch"))
        << d.commandLog();
    EXPECT_EQ(0, d.stop());
}

}  // namespace
