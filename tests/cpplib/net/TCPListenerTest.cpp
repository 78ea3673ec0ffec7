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
    void acceptEvent(int fd, sockaddr_in*) override { accepted.emplace_back(fd); }
    std::vector<UniqueFd> accepted;
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

// A listener on 127.0.0.1, on a free port.
class TCPListenerTest : public LoopParamFixture {
protected:
    void SetUp() override {
        LoopParamFixture::SetUp();
        m_listener.setAddress(loopbackAddress(0));
        m_listener.setAcceptCount(10);
        ASSERT_EQ(0, m_listener.init());
    }

    int connectClient() {
        m_clients.push_back(connectLoopback(m_listener.port()));
        EXPECT_GE(m_clients.back().get(), 0);
        return m_clients.back().get();
    }

    // Hands the listener a readable event, as the poller would.
    void readable() {
        Poller::PollEvent ev;
        ev.fd = m_listener.getSockfd();
        ev.revents = Poller::EV_READ;
        ev.client = &m_listener;
        m_listener.notifyPollEvent(&ev);
    }

    KeepingListener m_listener;
    std::vector<UniqueFd> m_clients;
};

TEST_P(TCPListenerTest, AcceptedSocketHasKeepAliveOneSecondLingerAndNoDelay) {
    connectClient();
    ASSERT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
    const int fd = m_listener.accepted[0].get();
    int keepAlive = 0, noDelay = 0;
    linger lg{};
    socklen_t len = sizeof keepAlive;
    ASSERT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &len));
    ASSERT_EQ(0, ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len));
    len = sizeof lg;
    ASSERT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len));
    EXPECT_NE(0, keepAlive);
    EXPECT_NE(0, noDelay);
    EXPECT_NE(0, lg.l_onoff);
    EXPECT_EQ(1, lg.l_linger);
}

TEST_P(TCPListenerTest, OutOfDescriptorsAWaitingConnectionIsClosedInsteadOfSpinning) {
    // A first call with nothing waiting, so that nothing on the way (the
    // sanitizers' first type checks among them) needs a descriptor later.
    readable();
    const int client = connectClient();
    {
        DescriptorsExhausted exhausted;
        readable();
    }
    EXPECT_TRUE(m_listener.accepted.empty());
    EXPECT_EQ(1, m_listener.shedCount());
    char byte = 0;
    const ssize_t r = ::recv(client, &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(r == 0 || (r < 0 && errno == ECONNRESET)) << "the client sees the close: " << r;

    // With descriptors back, the next connection is served.
    connectClient();
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(AllPollers, TCPListenerTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
