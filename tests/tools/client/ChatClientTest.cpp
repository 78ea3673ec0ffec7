// The client connection against a scripted peer on 127.0.0.1: what goes out
// on the wire, and how arriving packets, pongs and closes are handed back.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "client/Protocol.h"
#include "p2p/Encrypt.h"

namespace {

using namespace std::chrono_literals;
using client::ChatClient;

class ChatClientTest : public ::testing::Test {
protected:
    ChatClientTest() = default;
    explicit ChatClientTest(ChatClient::options_t options) : m_client(options) {}
    void SetUp() override { connectClient(m_client); }
    void TearDown() override {
        closePeer();
        if (m_listener >= 0) ::close(m_listener);
    }

    void connectClient(ChatClient& c) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ASSERT_EQ(0, ::bind(m_listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
        ASSERT_EQ(0, ::listen(m_listener, 4));
        ASSERT_EQ(0, ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&sa), &len));
        ASSERT_EQ(0, c.connect("127.0.0.1", ntohs(sa.sin_port)));
        m_peer = ::accept(m_listener, nullptr, nullptr);
        ASSERT_GE(m_peer, 0);
    }

    void peerSends(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    // Exactly n bytes from the client, or fewer when two seconds pass.
    std::string peerReads(size_t n) {
        std::string got;
        while (got.size() < n) {
            pollfd pfd{m_peer, POLLIN, 0};
            if (::poll(&pfd, 1, 2000) <= 0) break;
            char buf[4096];
            const ssize_t r = ::recv(m_peer, buf, std::min(sizeof buf, n - got.size()), 0);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    void closePeer() {
        if (m_peer >= 0) ::close(m_peer);
        m_peer = -1;
    }
    static std::string reply(uint16_t code, const std::string& body, uint8_t etype = 0) {
        client::packet_options_t opts;
        opts.etype = etype;
        return client::encodePacket(code, body, opts);
    }
    static std::string encrypt(const std::string& plain) {
        std::vector<char> out(plain.size() + 32);
        int len = 0;
        const char* cipher = P2P_Encrypt(1, plain.data(), static_cast<int>(plain.size()), out.data(),
                                         static_cast<int>(out.size()), &len);
        return cipher ? std::string(cipher, static_cast<size_t>(len)) : std::string();
    }

    ChatClient m_client;
    int m_listener = -1;
    int m_peer = -1;
};

TEST_F(ChatClientTest, RequestsGoOutEncodedWithIncreasingTrids) {
    const client::JoinRequest join{7, "bob", "Bob", client::OS_TYPE_PC};
    ASSERT_TRUE(m_client.sendJoin(join));
    ASSERT_TRUE(m_client.sendRejoin(join));

    client::packet_options_t first;
    first.trid = 1;
    client::packet_options_t second;
    second.trid = 2;
    const std::string expected = client::encodePacket(client::USER_JOIN, client::encode(join), first) +
                                 client::encodePacket(client::USER_REJOIN, client::encode(join), second);
    EXPECT_EQ(client::toHex(expected), client::toHex(peerReads(expected.size())));
    EXPECT_EQ(2u, m_client.lastTrid());
}

TEST_F(ChatClientTest, ReceiveHandsOutPacketsOldestFirst) {
    peerSends(reply(client::ROOM_CREATE_REPLY, "one") + reply(client::USER_JOIN_ALARM, "two"));
    auto a = m_client.receive();
    auto b = m_client.receive();
    ASSERT_TRUE(a && b);
    EXPECT_EQ("one", a->body);
    EXPECT_EQ("two", b->body);
}

TEST_F(ChatClientTest, WaitForKeepsTheOtherPacketsForLater) {
    peerSends(reply(client::USER_JOIN_ALARM, "a1") + reply(client::USER_JOIN_ALARM, "a2") +
              reply(client::USER_ADD_REPLY, "r"));
    auto r = m_client.waitFor(client::USER_ADD_REPLY);
    ASSERT_TRUE(r);
    EXPECT_EQ("r", r->body);
    ASSERT_EQ(2u, m_client.pendingCount());
    EXPECT_EQ("a1", m_client.receive()->body);
    EXPECT_EQ("a2", m_client.receive()->body);
}

TEST_F(ChatClientTest, NothingArrivingWithinTheDeadlineGivesNothing) {
    EXPECT_FALSE(m_client.receive(20ms));
    EXPECT_FALSE(m_client.waitFor(client::MSG_ACK, 20ms));
    EXPECT_FALSE(m_client.closed());
}

TEST_F(ChatClientTest, PingWaitsForThePongAndKeepsWhatCameBefore) {
    peerSends(reply(client::USER_JOIN_ALARM, "before") + "\x82");
    ASSERT_TRUE(m_client.ping());
    EXPECT_EQ("\x81", peerReads(1));
    EXPECT_EQ(1, m_client.pongCount());
    ASSERT_EQ(1u, m_client.pendingCount());
    EXPECT_EQ("before", m_client.pending().front().body);
}

TEST_F(ChatClientTest, PingFromThePeerIsAnsweredWithAPong) {
    peerSends("\x81");
    EXPECT_FALSE(m_client.receive(200ms));
    EXPECT_EQ("\x82", peerReads(1));
}

TEST_F(ChatClientTest, PeerCloseIsSeenAfterThePacketsItSentLast) {
    peerSends(reply(client::SESSION_CLOSE, "bye"));
    closePeer();
    ASSERT_TRUE(m_client.waitClosed());
    EXPECT_TRUE(m_client.closed());
    EXPECT_EQ("closed by peer", m_client.closeReason());
    auto last = m_client.receive();
    ASSERT_TRUE(last);
    EXPECT_EQ("bye", last->body);
    EXPECT_FALSE(m_client.receive(20ms));
    EXPECT_FALSE(m_client.ping(20ms));
}

TEST_F(ChatClientTest, BytesThatAreNotPacketsEndTheStream) {
    peerSends(std::string("\x00garbage", 8));
    ASSERT_TRUE(m_client.waitClosed());
    EXPECT_NE("closed by peer", m_client.closeReason());
}

TEST_F(ChatClientTest, EncryptedRequestsAskForEtypeOneAndRepliesAreDecrypted) {
    m_client.setEtype(client::ETYPE_AES);
    ASSERT_TRUE(m_client.send(client::USER_JOIN, "x"));
    EXPECT_EQ(1, peerReads(18 + 1)[7]);

    const std::string plain = "a member list longer than one AES block";
    const std::string cipher = encrypt(plain);
    ASSERT_EQ(48u, cipher.size());
    peerSends(reply(client::USER_JOIN_REPLY, cipher, client::ETYPE_AES));
    auto r = m_client.receive();
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->decrypted);
    EXPECT_EQ(plain, r->body);
    EXPECT_EQ(cipher, r->wireBody);
}

class RawReplyClientTest : public ChatClientTest {
protected:
    RawReplyClientTest() : ChatClientTest(ChatClient::options_t{client::ETYPE_CLEAR, false}) {}
};

TEST_F(RawReplyClientTest, DecryptionCanBeLeftToTheCaller) {
    const std::string cipher = encrypt("a member list longer than one AES block");
    peerSends(reply(client::USER_JOIN_REPLY, cipher, client::ETYPE_AES));
    auto r = m_client.receive();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->decrypted);
    EXPECT_EQ(cipher, r->body);
}

TEST(ChatClientConnectTest, RefusedConnectionReportsTheErrno) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    ASSERT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len));
    ChatClient c;
    // Bound but not listening: the connection is refused.
    EXPECT_EQ(ECONNREFUSED, c.connect("127.0.0.1", ntohs(sa.sin_port)));
    EXPECT_FALSE(c.connected());
    EXPECT_FALSE(c.sendRaw("x"));
    ::close(fd);
}

}  // namespace
