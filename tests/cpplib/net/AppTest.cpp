#include "net/App.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SocketHelpers.h"
#include "cpputil/SockUtil.h"
#include "cpputil/Trace.h"
#include "net/Session.h"
#include "poller/Poller.h"
#include "support/LoopDriver.h"
#include "support/TempDir.h"

namespace {

class TestApp : public App {
public:
    void loopEvent() override {
        ++passes;
        if (onPass) onPass();
    }
    void signalEvent(int signo) override {
        signals.push_back(signo);
        App::signalEvent(signo);
    }
    void recvFromEvent(UDPListener*, char* data, int len, sockaddr_in*) override {
        datagrams.emplace_back(data, static_cast<size_t>(len));
    }

    int passes = 0;
    std::function<void()> onPass;
    std::vector<int> signals;
    std::vector<std::string> datagrams;
};

// Plain sessions, remembered so the test can look at them; or none at all.
class RecordingFactory : public SessionFactory {
public:
    Session* newInst() override {
        ++calls;
        if (yieldNothing) return nullptr;
        Session* s = SessionFactory::newInst();
        made.push_back(s);
        return s;
    }
    int calls = 0;
    bool yieldNothing = false;
    std::vector<Session*> made;  // not owned; valid until the peer closes
};

class AppTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        m_sessionsBefore = Session::s_counts;
        ASSERT_EQ(0, m_app.init(GetParam().c_str()));
    }

    void TearDown() override {
        // Sessions own themselves: close their peers and let them go.
        m_clients.clear();
        EXPECT_TRUE(runUntil([&] { return Session::s_counts == m_sessionsBefore; })) << "sessions left behind";
        m_app.exit();
    }

    bool runUntil(const std::function<bool()>& pred, int timeoutMs = 2000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            m_app.runOnce(1);
        }
        return true;
    }

    ServiceListener* bindLoopback(int port, int acceptCount = 10) {
        sockaddr_in sa = loopbackAddress(port);
        return m_app.bindTCP(&sa, &m_factory, acceptCount);
    }

    // A client of port; kept open until the test ends.
    int connectClient(int port) {
        m_clients.push_back(connectLoopback(port));
        return m_clients.back().get();
    }

    TestApp m_app;
    RecordingFactory m_factory;
    std::vector<UniqueFd> m_clients;
    int m_sessionsBefore = 0;
};

// ---- registries -----------------------------------------------------------

TEST_P(AppTest, SecondBindOnTheSamePortKeepsTheFirst) {
    ServiceListener* first = bindLoopback(0);
    ASSERT_NE(nullptr, first);
    const int port = first->port();

    EXPECT_EQ(nullptr, bindLoopback(port));
    EXPECT_EQ(EADDRINUSE, m_app.lastBindErrno());
    EXPECT_EQ(first, m_app.getServiceListener(static_cast<uint16_t>(port)));
    connectClient(port);
    EXPECT_TRUE(runUntil([&] { return m_factory.made.size() == 1; }));
}

TEST_P(AppTest, ServiceListenerLookupFallsBackToTheLowestPort) {
    EXPECT_EQ(nullptr, m_app.getServiceListener(7));
    ServiceListener* a = bindLoopback(0);
    ServiceListener* b = bindLoopback(0);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    ServiceListener* lowest = a->port() < b->port() ? a : b;

    EXPECT_EQ(b, m_app.getServiceListener(static_cast<uint16_t>(b->port())));
    EXPECT_EQ(lowest, m_app.getServiceListener(7));
}

TEST_P(AppTest, CancellingAnUnboundPortChangesNothing) {
    ServiceListener* l = bindLoopback(0);
    ASSERT_NE(nullptr, l);
    const int port = l->port();

    m_app.cancelBindTCP(static_cast<uint16_t>(port == 7 ? 8 : 7));
    m_app.cancelBindTCP("not a port");
    EXPECT_EQ(l, m_app.getServiceListener(static_cast<uint16_t>(port)));

    m_app.cancelBindTCP(std::to_string(port).c_str());
    EXPECT_EQ(nullptr, m_app.getServiceListener(static_cast<uint16_t>(port)));
    EXPECT_LT(connectLoopback(port).get(), 0) << "the cancelled listener still accepts";
}

TEST_P(AppTest, BindFailureReturnsNullAndNamesTheReason) {
    UniqueFd holder = boundTcpSocket(/*listening=*/true);
    const int before = openDescriptorCount();

    EXPECT_EQ(nullptr, bindLoopback(localPort(holder.get())));
    EXPECT_EQ(EADDRINUSE, m_app.lastBindErrno());
    EXPECT_EQ(before, openDescriptorCount());
    EXPECT_EQ(nullptr, m_app.bindTCP("70000", &m_factory, 10));
    EXPECT_EQ(EINVAL, m_app.lastBindErrno());
}

// ---- accepting ------------------------------------------------------------

TEST_P(AppTest, AcceptedConnectionBecomesASessionWithThePeerAddress) {
    ServiceListener* l = bindLoopback(0);
    ASSERT_NE(nullptr, l);
    const int client = connectClient(l->port());

    ASSERT_TRUE(runUntil([&] { return m_factory.made.size() == 1; }));
    const sockaddr_in& peer = m_factory.made[0]->peerAddr();
    EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
    EXPECT_EQ(localPort(client), ntohs(peer.sin_port));
}

TEST_P(AppTest, ExitReleasesSessionsThatAreStillOpen) {
    ServiceListener* l = bindLoopback(0);
    ASSERT_NE(nullptr, l);
    const int client = connectClient(l->port());
    ASSERT_TRUE(runUntil([&] { return m_factory.made.size() == 1; }));
    EXPECT_EQ(1u, m_app.openSessionCount());

    m_app.exit();
    EXPECT_EQ(0u, m_app.openSessionCount());
    EXPECT_EQ(m_sessionsBefore, Session::s_counts.load()) << "an open session outlived the shell";
    char byte;
    EXPECT_EQ(0, ::recv(client, &byte, 1, 0)) << "the peer sees the connection end";
    ASSERT_EQ(0, m_app.init(GetParam().c_str()));
}

TEST_P(AppTest, FactoryWithoutSessionClosesTheAcceptedDescriptor) {
    m_factory.yieldNothing = true;
    ServiceListener* l = bindLoopback(0);
    ASSERT_NE(nullptr, l);
    const int client = connectClient(l->port());

    ASSERT_TRUE(runUntil([&] { return m_factory.calls == 1; }));
    bool closed = false;
    EXPECT_TRUE(runUntil([&] {
        readNow(client, &closed);
        return closed;
    }));
}

TEST_P(AppTest, UnixDomainAcceptGivesAnAllZeroPeer) {
    TempDir dir;
    const std::string path = dir.file("app.sock");
    ASSERT_NE(nullptr, m_app.bindUDS(path.c_str(), &m_factory, 10));
    EXPECT_EQ(nullptr, m_app.bindUDS(path.c_str(), &m_factory, 10)) << "a second bind replaced the first";

    UniqueFd client(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    ASSERT_EQ(0, ::connect(client.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    m_clients.push_back(std::move(client));

    ASSERT_TRUE(runUntil([&] { return m_factory.made.size() == 1; }));
    const sockaddr_in& peer = m_factory.made[0]->peerAddr();
    EXPECT_EQ(0u, peer.sin_addr.s_addr);
    EXPECT_EQ(0, peer.sin_port);
}

TEST_P(AppTest, MessageReceiverMakesSessionsAndGoesAwayWhenItsPeerCloses) {
    auto [mine, sender] = streamPair();
    const int fd = mine.get();
    ASSERT_NE(nullptr, m_app.bindMessageReceiver(mine.release(), &m_factory, 10));

    UniqueFd server = boundTcpSocket(/*listening=*/true);
    const int client = connectClient(localPort(server.get()));
    UniqueFd accepted(::accept(server.get(), nullptr, nullptr));
    ASSERT_EQ(1, write_fd(sender.get(), "x", 1, accepted.get()));
    ASSERT_TRUE(runUntil([&] { return m_factory.made.size() == 1; }));
    EXPECT_EQ(localPort(client), ntohs(m_factory.made[0]->peerAddr().sin_port));

    sender.reset();
    EXPECT_TRUE(runUntil([&] { return m_app.getMessageReceiver(fd) == nullptr; }));
}

TEST_P(AppTest, DatagramsReachTheApp) {
    sockaddr_in sa = loopbackAddress(0);
    UDPListener* l = m_app.bindUDP(&sa, 32, nullptr);
    ASSERT_NE(nullptr, l);
    EXPECT_EQ(l, m_app.getUDPListener(1));

    UniqueFd client(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to = loopbackAddress(l->port());
    ASSERT_EQ(5, ::sendto(client.get(), "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    ASSERT_TRUE(runUntil([&] { return m_app.datagrams.size() == 1; }));
    EXPECT_EQ("hello", m_app.datagrams[0]);
}

// ---- the loop -------------------------------------------------------------

TEST_P(AppTest, RunReturnsAfterStopPostedFromAnotherThread) {
    std::thread worker([&] { m_app.post([&] { m_app.stop(); }); });
    m_app.run(1);
    worker.join();
    SUCCEED();
}

TEST_P(AppTest, PostedTaskRunsOnTheLoopThread) {
    std::thread::id ranOn;
    std::thread worker([&] { m_app.post([&] { ranOn = std::this_thread::get_id(); }); });
    worker.join();
    ASSERT_TRUE(runUntil([&] { return ranOn != std::thread::id(); }));
    EXPECT_EQ(std::this_thread::get_id(), ranOn);
    EXPECT_TRUE(m_app.inLoopThread());
}

TEST_P(AppTest, UserSignalIsAppliedOnTheLoopAndTwoRestoreTheTrace) {
    g_trace.off();
    ::raise(SIGUSR1);
    EXPECT_FALSE(g_trace.isOn()) << "the handler itself toggled the trace";
    ASSERT_TRUE(runUntil([&] { return m_app.signals.size() == 1; }));
    EXPECT_TRUE(g_trace.isOn());

    ::raise(SIGUSR1);
    ::raise(SIGUSR1);
    ASSERT_TRUE(runUntil([&] { return m_app.signals.size() == 3; }));
    EXPECT_TRUE(g_trace.isOn());
    g_trace.off();
}

TEST_P(AppTest, TerminationSignalMakesRunReturn) {
    // Raised on the loop's own thread during a pass, so the handler runs at a
    // known point (ThreadSanitizer defers signals that land elsewhere).
    m_app.post([] { ::raise(SIGTERM); });
    m_app.run(1);
    EXPECT_EQ(SIGTERM, m_app.signals.back());
}

INSTANTIATE_TEST_SUITE_P(AllPollers, AppTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

// ---- start-up and teardown --------------------------------------------------

// A poller whose every wait fails, as an interrupted one would.
class FailingPoller : public Poller {
public:
    int init() override { return 0; }
    int add(int, Client*, short) override { return 0; }
    int del(int) override { return 0; }
    int setMask(int, short) override { return 0; }
    int orMask(int, short) override { return 0; }
    int andMask(int, short) override { return 0; }
    int waitForEvents(int) override {
        ++waits;
        return EINTR;
    }
    int getNextEvent(PollEvent*) override { return EAGAIN; }
    int waits = 0;

protected:
    int pendingInBatch() const override { return 0; }
};

TEST(AppStartTest, UnknownPollerNameFailsAndLeavesNoPoller) {
    App app;
    EXPECT_EQ(EINVAL, app.init("kqueue"));
    EXPECT_EQ(nullptr, g_pPoller);
}

TEST(AppStartTest, InitCreatesOnePollerAndExitRemovesIt) {
    App app;
    ASSERT_EQ(0, app.init("poll"));
    Poller* created = g_pPoller;
    ASSERT_NE(nullptr, created);
    EXPECT_TRUE(created->hasWakeUpPipe());
    ASSERT_EQ(0, app.init("epoll"));
    EXPECT_EQ(created, g_pPoller) << "a second init replaced the poller";
    app.exit();
    EXPECT_EQ(nullptr, g_pPoller);
}

TEST(AppStartTest, RunKeepsLoopingWhenTheWaitFailsAndReturnsAfterStop) {
    FailingPoller poller;
    g_pPoller = &poller;
    {
        TestApp app;
        ASSERT_EQ(0, app.init("epoll"));
        EXPECT_EQ(&poller, g_pPoller);
        app.onPass = [&] {
            if (app.passes == 5) app.stop();
        };
        app.run(1);
        EXPECT_EQ(5, app.passes);
        EXPECT_EQ(5, poller.waits);
    }
    EXPECT_EQ(&poller, g_pPoller) << "the App deleted a poller it does not own";
    g_pPoller = nullptr;
}

}  // namespace
