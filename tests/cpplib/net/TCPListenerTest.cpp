#include "net/TCPListener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "SocketHelpers.h"
#include "poller/Poller.h"
#include "support/LoopDriver.h"

namespace {

// Keeps what it accepts, so the test can inspect the descriptors.
class KeepingListener : public TCPListener {
public:
    void acceptEvent(int fd, sockaddr_in* from) override {
        accepted.emplace_back(fd);
        peers.push_back(*from);
    }
    std::vector<UniqueFd> accepted;
    std::vector<sockaddr_in> peers;
};

// Brings the process to its descriptor limit for as long as it lives: the
// soft limit goes down to just past the highest descriptor open, and the
// holes below it are filled.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit low = m_saved;
        low.rlim_cur = static_cast<rlim_t>(highestOpenFd() + 1);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) m_fillers.push_back(fd);
    }
    ~DescriptorsExhausted() {
        for (int fd : m_fillers) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }

private:
    static int highestOpenFd() {
        int highest = 2;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (const dirent* e = ::readdir(dir)) highest = std::max(highest, std::atoi(e->d_name));
            ::closedir(dir);
        }
        return highest;
    }

    rlimit m_saved{};
    std::vector<int> m_fillers;
};

class TCPListenerTest : public LoopParamFixture {
protected:
    // Listens on 127.0.0.1, on a free port unless one is given.
    int listenOn(int port = 0, int acceptCount = 10) {
        m_listener.setAddress(loopbackAddress(port));
        m_listener.setAcceptCount(acceptCount);
        return m_listener.init();
    }

    void connectClients(int n) {
        for (int i = 0; i < n; ++i) {
            UniqueFd c = connectLoopback(m_listener.port());
            ASSERT_GE(c.get(), 0);
            m_clients.push_back(std::move(c));
        }
    }

    // One pass of the loop that waits for something to be ready.
    void onePass() { g_pPoller->waitAndDispatchEvents(1000); }

    void injectEvent(short revents) {
        Poller::PollEvent ev;
        ev.fd = m_listener.getSockfd();
        ev.revents = revents;
        ev.client = &m_listener;
        m_listener.notifyPollEvent(&ev);
    }

    KeepingListener m_listener;
    std::vector<UniqueFd> m_clients;
};

TEST_P(TCPListenerTest, PortZeroListensOnAFreePort) {
    ASSERT_EQ(0, listenOn());
    EXPECT_NE(0, m_listener.port());
    connectClients(1);
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), m_listener.peers.at(0).sin_addr.s_addr);
}

TEST_P(TCPListenerTest, TwentyPendingConnectionsAreAcceptedOverTwoPasses) {
    ASSERT_EQ(0, listenOn(0, /*acceptCount=*/10));
    connectClients(20);

    onePass();
    EXPECT_EQ(10u, m_listener.accepted.size());
    onePass();
    EXPECT_EQ(20u, m_listener.accepted.size());
}

TEST_P(TCPListenerTest, AcceptedSocketHasKeepAliveOneSecondLingerAndNoDelay) {
    ASSERT_EQ(0, listenOn());
    connectClients(1);
    ASSERT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
    const int fd = m_listener.accepted[0].get();

    int keepAlive = 0;
    socklen_t len = sizeof keepAlive;
    ASSERT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &len));
    EXPECT_NE(0, keepAlive);
    linger lg{};
    len = sizeof lg;
    ASSERT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len));
    EXPECT_NE(0, lg.l_onoff);
    EXPECT_EQ(1, lg.l_linger);
    int noDelay = 0;
    len = sizeof noDelay;
    ASSERT_EQ(0, ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len));
    EXPECT_NE(0, noDelay);
}

TEST_P(TCPListenerTest, OutOfDescriptorsAWaitingConnectionIsClosedInsteadOfSpinning) {
    ASSERT_EQ(0, listenOn());
    // A first call with nothing waiting, so that nothing on the way (the
    // sanitizers' first type checks among them) needs a descriptor later.
    injectEvent(Poller::EV_READ);
    connectClients(1);
    {
        DescriptorsExhausted exhausted;
        injectEvent(Poller::EV_READ);
    }
    EXPECT_TRUE(m_listener.accepted.empty());
    EXPECT_EQ(1, m_listener.shedCount());
    char byte = 0;
    const ssize_t r = ::recv(m_clients[0].get(), &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(r == 0 || (r < 0 && errno == ECONNRESET)) << "the client sees the close: " << r;

    // With descriptors back, the next connection is served.
    connectClients(1);
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
}

TEST_P(TCPListenerTest, BindingAPortInUseFailsWithNoSocketLeftOpen) {
    UniqueFd holder = boundTcpSocket(/*listening=*/true);
    const int before = openDescriptorCount();

    EXPECT_EQ(-1, listenOn(localPort(holder.get())));
    EXPECT_EQ(EADDRINUSE, m_listener.lastError());
    EXPECT_EQ(-1, m_listener.getSockfd());
    EXPECT_EQ(before, openDescriptorCount());
}

TEST_P(TCPListenerTest, ErrorEventReopensOnTheSamePortWithTheSameAcceptCount) {
    ASSERT_EQ(0, listenOn(0, /*acceptCount=*/3));
    const int port = m_listener.port();

    injectEvent(Poller::EV_ERROR);

    ASSERT_GE(m_listener.getSockfd(), 0);
    EXPECT_EQ(port, m_listener.port());
    EXPECT_EQ(3, m_listener.acceptCount());
    connectClients(5);
    onePass();
    EXPECT_EQ(3u, m_listener.accepted.size());
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 5; }));
}

INSTANTIATE_TEST_SUITE_P(AllPollers, TCPListenerTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
