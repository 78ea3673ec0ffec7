#include "cpputil/SockUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

// Owns one descriptor for a test.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// A loopback listener on 127.0.0.1, an ephemeral port, and the accepted peer.
class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_listener.reset(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_GE(m_listener.get(), 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, bind(m_listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
        ASSERT_EQ(0, listen(m_listener.get(), 8));
        socklen_t len = sizeof m_addr;
        ASSERT_EQ(0, getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&m_addr), &len));
    }

    std::string portText() const { return std::to_string(ntohs(m_addr.sin_port)); }

    // Connects a client and accepts its server side into m_server.
    Fd connectClient() {
        Fd client(Tcp_connect("127.0.0.1", portText().c_str()));
        EXPECT_GE(client.get(), 0);
        acceptPeer();
        return client;
    }

    void acceptPeer() {
        m_server.reset(accept(m_listener.get(), nullptr, nullptr));
        EXPECT_GE(m_server.get(), 0);
    }

    void sendRaw(int fd, const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
    }

    static bool isBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0; }

    // A port on which nobody listens (bound, read back and released).
    static sockaddr_in closedPort() {
        Fd s(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        return sa;
    }

    Fd m_listener;
    Fd m_server;
    sockaddr_in m_addr{};
};

TEST_F(LoopbackTest, ReadnCollectsBytesSentInPieces) {
    Fd client = connectClient();
    sendRaw(client.get(), "hel");
    sendRaw(client.get(), "lo!");
    char buf[6];
    EXPECT_EQ(6, readn(m_server.get(), buf, 6));
    EXPECT_EQ("hello!", std::string(buf, 6));
}

TEST_F(LoopbackTest, ReadnOnNonblockingSocketWaitsForTheRest) {
    Fd client = connectClient();
    setNonblocking(m_server.get());
    std::thread writer([&] {
        sendRaw(client.get(), "abc");
        sendRaw(client.get(), "def");
    });
    char buf[6];
    EXPECT_EQ(6, readn(m_server.get(), buf, 6));
    writer.join();
    EXPECT_EQ("abcdef", std::string(buf, 6));
}

TEST_F(LoopbackTest, ReadnReturnsWhatArrivedBeforeThePeerClosed) {
    Fd client = connectClient();
    sendRaw(client.get(), "abc");
    client.reset();
    char buf[8];
    EXPECT_EQ(3, readn(m_server.get(), buf, 8));
    EXPECT_EQ(0, readn_timeout(m_server.get(), buf, 8, 2));  // nothing more: closed
}

TEST_F(LoopbackTest, WritenToClosedPeerFailsWithoutSignal) {
    Fd client = connectClient();
    m_server.reset();
    const std::vector<char> big(1 << 20, 'x');
    int rc = 0;
    // The first write may still be accepted; a later one sees the reset.
    for (int i = 0; i < 50 && rc >= 0; ++i)
        rc = writen(client.get(), big.data(), static_cast<unsigned>(big.size()));
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

TEST_F(LoopbackTest, TimedReadsOnSilentSocketsExpireIndependently) {
    Fd first = connectClient();
    Fd firstServer(m_server.release());
    Fd second = connectClient();
    // Two time-limited reads at once on two threads: no shared timer state.
    int rc[2] = {0, 0};
    int err[2] = {0, 0};
    std::thread other([&] {
        char buf[4];
        rc[1] = readn_timeout(firstServer.get(), buf, 4, 1);
        err[1] = errno;
    });
    char buf[4];
    rc[0] = readn_timeout(m_server.get(), buf, 4, 1);
    err[0] = errno;
    other.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(-1, rc[i]);
        EXPECT_EQ(ETIMEDOUT, err[i]);
    }
}

TEST_F(LoopbackTest, TimedReadAndWriteMoveAllBytes) {
    Fd client = connectClient();
    const std::string payload(100000, 'p');
    std::string got(payload.size(), '\0');
    int readRc = 0;
    std::thread reader([&] {
        readRc = readn_timeout(m_server.get(), got.data(), static_cast<unsigned>(got.size()), 5);
    });
    EXPECT_EQ(static_cast<int>(payload.size()),
              writen_timeout(client.get(), payload.data(), static_cast<unsigned>(payload.size()), 5));
    reader.join();
    EXPECT_EQ(static_cast<int>(payload.size()), readRc);
    EXPECT_EQ(payload, got);
}

TEST_F(LoopbackTest, TimedConnectGivesABlockingConnectedSocket) {
    Fd client(Tcp_connect_timeout(&m_addr, 2));
    ASSERT_GE(client.get(), 0);
    EXPECT_TRUE(isBlocking(client.get()));
    acceptPeer();
    sendRaw(client.get(), "x");
    char c = 0;
    EXPECT_EQ(1, readn(m_server.get(), &c, 1));
}

TEST_F(LoopbackTest, TimedConnectToClosedPortIsRefusedNotTimedOut) {
    const sockaddr_in nobody = closedPort();
    EXPECT_EQ(-1, Tcp_connect_timeout(&nobody, 2));
    EXPECT_EQ(ECONNREFUSED, errno);
    EXPECT_EQ(-1, Tcp_connect(&nobody));
}

TEST_F(LoopbackTest, ConnectByHostNameTriesTheResolvedAddresses) {
    Fd plain(Tcp_connectDNS("localhost", portText().c_str()));
    EXPECT_GE(plain.get(), 0);
    acceptPeer();
    Fd timed(Tcp_connectDNS_timeout("localhost", portText().c_str(), 2));
    EXPECT_GE(timed.get(), 0);
    EXPECT_TRUE(isBlocking(timed.get()));
    acceptPeer();
}

TEST_F(LoopbackTest, BadAddressTextDoesNotConnect) {
    EXPECT_EQ(-1, Tcp_connect("not-an-ip", portText().c_str()));
}

TEST_F(LoopbackTest, PeerAddressOfAcceptedSocket) {
    Fd client = connectClient();
    ASSERT_NE(nullptr, get_ip(m_server.get()));
    EXPECT_STREQ("127.0.0.1", get_ip(m_server.get()));
    EXPECT_EQ(nullptr, get_ip(m_listener.get()));
}

// Descriptor passing and line reads run over a UNIX socket pair.
class SocketPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        m_near.reset(sv[0]);
        m_far.reset(sv[1]);
    }

    std::string readLine(unsigned max) {
        std::vector<char> buf(max, '#');
        m_lineRc = myreadline(m_near.get(), buf.data(), max);
        return std::string(buf.data());
    }

    Fd m_near;
    Fd m_far;
    int m_lineRc = -2;
};

TEST_F(SocketPairTest, MessageWithoutDescriptorGivesMinusOne) {
    ASSERT_EQ(1, write(m_far.get(), "z", 1));
    char c = 0;
    int passed = 123;
    EXPECT_EQ(1, read_fd(m_near.get(), &c, 1, &passed));
    EXPECT_EQ('z', c);
    EXPECT_EQ(-1, passed);
}

TEST_F(SocketPairTest, PassedDescriptorWorksOnTheOtherSide) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    Fd pipeRead(pipeFds[0]);
    {
        Fd pipeWrite(pipeFds[1]);
        ASSERT_EQ(1, write_fd(m_far.get(), "f", 1, pipeWrite.get()));
    }  // the sender's copy is closed; only the passed one remains
    char c = 0;
    int passed = -1;
    ASSERT_EQ(1, read_fd(m_near.get(), &c, 1, &passed));
    ASSERT_GE(passed, 0);
    Fd received(passed);
    ASSERT_EQ(4, writen(received.get(), "ping", 4));
    char buf[4];
    EXPECT_EQ(4, readn(pipeRead.get(), buf, 4));
    EXPECT_EQ("ping", std::string(buf, 4));
}

TEST_F(SocketPairTest, LinesAreReadWithTheirLineFeed) {
    ASSERT_EQ(11, write(m_far.get(), "hello\nworld", 11));
    EXPECT_EQ("hello\n", readLine(64));
    EXPECT_EQ(6, m_lineRc);
    m_far.reset();
    EXPECT_EQ("world", readLine(64));
    EXPECT_EQ(5, m_lineRc);
    EXPECT_EQ("", readLine(64));
    EXPECT_EQ(0, m_lineRc);
}

TEST_F(SocketPairTest, LongLineStopsOneShortOfMax) {
    ASSERT_EQ(7, write(m_far.get(), "abcdef\n", 7));
    EXPECT_EQ("abc", readLine(4));
    EXPECT_EQ(3, m_lineRc);
}

TEST(AddressTextTest, HostAndPortSplitAtFirstColon) {
    sockaddr_in sa;
    ASSERT_TRUE(getIP("10.0.0.5:7000", &sa));
    EXPECT_EQ(AF_INET, sa.sin_family);
    EXPECT_EQ(htonl(0x0A000005), sa.sin_addr.s_addr);
    EXPECT_EQ(htons(7000), sa.sin_port);
    EXPECT_FALSE(getIP("10.0.0.5", &sa));
    EXPECT_FALSE(getIP("example:80", &sa));

    sockAddrIn_Set(&sa, "127.0.0.1", "8080");
    EXPECT_EQ(htonl(INADDR_LOOPBACK), sa.sin_addr.s_addr);
    EXPECT_EQ(htons(8080), sa.sin_port);
}

TEST(AddressTextTest, HostPortSplitRespectsBufferSizes) {
    char host[8];
    char port[6];
    ASSERT_EQ(0, getHostPort("was1:8080", host, sizeof host, port, sizeof port));
    EXPECT_STREQ("was1", host);
    EXPECT_STREQ("8080", port);
    EXPECT_EQ(-1, getHostPort("was1", host, sizeof host, port, sizeof port));
    EXPECT_EQ(-1, getHostPort("longhostname:80", host, sizeof host, port, sizeof port));
    EXPECT_EQ(-1, getHostPort("h:123456", host, sizeof host, port, sizeof port));
}

}  // namespace
