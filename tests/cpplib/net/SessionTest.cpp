#include "net/Session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpputil/ErrorLog.h"
#include "cpputil/MicroTimer.h"
#include "net/Packet.h"
#include "poller/Poller.h"
#include "support/LoopDriver.h"
#include "SocketHelpers.h"

namespace {

// What a session went through; outlives the session itself.
struct Probe {
    std::vector<std::pair<int, int>> errors;  // (errortype_t, err)
    std::string received;
    std::vector<int> writes;  // bytes of each write that took some
    bool destroyed = false;

    bool sawError(int type) const {
        for (const auto& e : errors)
            if (e.first == type) return true;
        return false;
    }
};

class RecordingSession : public Session {
public:
    explicit RecordingSession(std::shared_ptr<Probe> probe) : m_probe(std::move(probe)) {}
    ~RecordingSession() override { m_probe->destroyed = true; }

    void errorEvent(errortype_t type, int err) override {
        m_probe->errors.emplace_back(type, err);
        Session::errorEvent(type, err);
    }
    void readData(int len, IOBuffer* buf) override {
        if (!m_consume) return;
        m_probe->received.append(buf->data() + buf->getDataSize() - len, static_cast<size_t>(len));
        Session::readData(len, buf);
    }
    void stopConsuming() { m_consume = false; }
    void writeData(int len) override {
        m_probe->writes.push_back(len);
        Session::writeData(len);
    }

private:
    std::shared_ptr<Probe> m_probe;
    bool m_consume = true;
};

class RecordingObserver : public Session::EventHandler {
public:
    explicit RecordingObserver(bool stay = false) : m_stay(stay) {}

    void connectEvent(Session*, bool* remove) override {
        ++connects;
        if (m_stay) *remove = false;
    }
    void reqRecvEvent(Session*, const Packet*, bool*) override {}
    void resRecvEvent(Session*, const Packet*, bool*) override {}
    void errorEvent(Session* s, bool* remove) override {
        ++errors;
        if (m_stay) *remove = false;
        if (onError) onError(s);
    }
    bool compareKey(Session*, const Packet*) override { return false; }

    int connects = 0;
    int errors = 0;
    std::function<void(Session*)> onError;

private:
    bool m_stay;
};

class StringPacket : public Packet {
public:
    explicit StringPacket(std::string bytes) : m_bytes(std::move(bytes)) {}
    int writeTo(IOBuffer* buf) const override {
        const int n = static_cast<int>(m_bytes.size());
        buf->increase(n);
        return buf->write(m_bytes.data(), n);
    }

private:
    std::string m_bytes;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

void shrinkBuffers(int fd) {
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

class SessionTest : public LoopParamFixture {
protected:
    void TearDown() override {
        // Sessions own themselves: end every one a test left alive.
        m_peer.reset();
        if (m_session && !m_probe->destroyed) {
            if (m_session->getSockfd() < 0)
                m_session->destroy();
            else
                EXPECT_TRUE(runUntil([&] { return m_probe->destroyed; })) << "session never released";
        }
        LoopParamFixture::TearDown();
    }

    RecordingSession* newSession(int sendBuf = 1024, int recvBuf = 1024) {
        m_probe = std::make_shared<Probe>();
        m_session = new RecordingSession(m_probe);
        m_session->initBuffer(sendBuf, recvBuf, 1, 1);
        return m_session;
    }

    // A session on one end of a socket pair; the test plays the other end.
    RecordingSession* connectedSession(int recvBuf = 1024, bool smallKernelBuffers = false) {
        auto [mine, peer] = streamPair();
        if (smallKernelBuffers) {
            shrinkBuffers(mine.get());
            shrinkBuffers(peer.get());
        }
        newSession(1024, recvBuf);
        EXPECT_TRUE(m_session->import(mine.release()));
        m_peer = std::move(peer);
        return m_session;
    }

    void sendFromPeer(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(m_peer.get(), bytes.data(), bytes.size(), 0));
    }

    // Hands the session one event, as the poller would.
    void dispatch(short revents) {
        Poller::PollEvent ev;
        ev.fd = m_session->getSockfd();
        ev.revents = revents;
        ev.client = m_session;
        m_session->notifyPollEvent(&ev);
    }

    bool released() const { return m_probe->destroyed; }

    // Reads what the peer gets until `expected` bytes (and, if asked, the
    // end of stream) have arrived.
    std::string peerReceives(size_t expected, bool untilEof = false) {
        std::string got;
        bool eof = false;
        runUntil([&] {
            got += readNow(m_peer.get(), &eof);
            return got.size() >= expected && (!untilEof || eof);
        });
        return got;
    }

    RecordingSession* m_session = nullptr;
    std::shared_ptr<Probe> m_probe = std::make_shared<Probe>();
    UniqueFd m_peer;
};

// ---- release path ---------------------------------------------------------

TEST_P(SessionTest, PeerCloseReportsCloseThenReleasesInTheSameDispatch) {
    connectedSession();
    RecordingObserver observer;
    ASSERT_EQ(0, m_session->addEH(&observer));
    m_peer.reset();

    dispatch(Poller::EV_READ);

    ASSERT_TRUE(released());
    ASSERT_EQ(2u, m_probe->errors.size());
    EXPECT_EQ(Session::SESSION_ECLOSE, m_probe->errors[0].first);
    EXPECT_EQ(Session::SESSION_EDELETE, m_probe->errors[1].first);
    EXPECT_EQ(1, observer.errors);
}

TEST_P(SessionTest, ObserverThatStaysAlsoHearsTheRelease) {
    connectedSession();
    RecordingObserver observer(/*stay=*/true);
    m_session->addEH(&observer);
    m_peer.reset();

    dispatch(Poller::EV_READ);

    ASSERT_TRUE(released());
    EXPECT_EQ(2, observer.errors);
}

TEST_P(SessionTest, HangUpAloneReleases) {
    connectedSession();
    dispatch(Poller::EV_HANGUP);

    ASSERT_TRUE(released());
    ASSERT_EQ(1u, m_probe->errors.size());
    EXPECT_EQ(Session::SESSION_EDELETE, m_probe->errors[0].first);
}

TEST_P(SessionTest, PeerCloseThroughThePollerReleasesAndClosesTheSocket) {
    connectedSession();
    const int fd = m_session->getSockfd();
    m_peer.reset();

    ASSERT_TRUE(runUntil([&] { return released(); }));
    EXPECT_TRUE(m_probe->sawError(Session::SESSION_ECLOSE));
    EXPECT_FALSE(isOpen(fd));
}

TEST_P(SessionTest, SetReleaseReleasesEvenWhenThePeerIsIdle) {
    connectedSession();
    m_session->setRelease();
    EXPECT_TRUE(runUntil([&] { return released(); }));
}

TEST_P(SessionTest, ConnectTimerReportsTimeoutAndReleases) {
    connectedSession();
    m_session->OnTimer(Session::kConnectTimerId, nullptr);

    ASSERT_FALSE(m_probe->errors.empty());
    EXPECT_EQ(std::make_pair(int(Session::SESSION_ECONNECT), ETIMEDOUT), m_probe->errors[0]);
    EXPECT_TRUE(runUntil([&] { return released(); }));
}

TEST_P(SessionTest, ReleasedSessionLeavesNoTimerBehind) {
    connectedSession();
    Session* raw = m_session;
    MicroTimer::getInst().setTimer(raw, 77, 0);  // would fire at every pass
    m_session->setRelease();

    ASSERT_TRUE(runUntil([&] { return released(); }));
    MicroTimer::getInst().check2();  // must not call into the deleted session
    EXPECT_FALSE(MicroTimer::getInst().killTimer(raw, 77));
}

// ---- receiving ------------------------------------------------------------

TEST_P(SessionTest, PlainSessionKeepsReceivingPastItsBufferSize) {
    SessionFactory factory;
    auto [mine, peer] = streamPair();
    const int sessionsBefore = Session::s_counts;
    Session* plain = factory.newInst();
    ASSERT_TRUE(plain->import(mine.release()));
    const int64_t before = Session::s_recvBytes;

    for (int i = 0; i < 5; ++i) ASSERT_EQ(1000, ::send(peer.get(), pattern(1000).data(), 1000, 0));
    ASSERT_TRUE(runUntil([&] { return Session::s_recvBytes - before == 5000; }));
    EXPECT_EQ(sessionsBefore + 1, Session::s_counts.load()) << "the session failed on a full buffer";

    peer.reset();
    EXPECT_TRUE(runUntil([&] { return Session::s_counts == sessionsBefore; }));
}

TEST_P(SessionTest, FullReceiveBufferNotDrainedRaisesLogicErrorWithZero) {
    connectedSession(/*recvBuf=*/16);
    m_session->stopConsuming();
    sendFromPeer(pattern(32));

    ASSERT_TRUE(runUntil([&] { return released(); }));
    ASSERT_FALSE(m_probe->errors.empty());
    EXPECT_EQ(std::make_pair(int(Session::SESSION_ELOGIC), 0), m_probe->errors[0]);
}

// ---- observers ------------------------------------------------------------

TEST_P(SessionTest, ObserverCanBeAddedOnceAndRemovedOnce) {
    newSession();
    RecordingObserver a;
    RecordingObserver absent;
    EXPECT_EQ(0, m_session->addEH(&a));
    EXPECT_EQ(-1, m_session->addEH(&a));
    EXPECT_EQ(-1, m_session->delEH(&absent));
    EXPECT_EQ(0, m_session->delEH(&a));
    EXPECT_EQ(-1, m_session->delEH(&a));
}

TEST_P(SessionTest, ObserverRemovingTheNextOneDuringTheErrorIsSafe) {
    connectedSession();
    RecordingObserver first;
    RecordingObserver second;
    first.onError = [&](Session* s) { s->delEH(&second); };
    m_session->addEH(&first);
    m_session->addEH(&second);
    m_peer.reset();

    dispatch(Poller::EV_READ);

    ASSERT_TRUE(released());
    EXPECT_EQ(1, first.errors);
    EXPECT_EQ(0, second.errors);
}

TEST_P(SessionTest, ThrowingObserverDoesNotStopTheRelease) {
    connectedSession();
    RecordingObserver thrower;
    thrower.onError = [](Session*) { throw std::runtime_error("observer failed"); };
    m_session->addEH(&thrower);
    m_peer.reset();

    dispatch(Poller::EV_READ);
    EXPECT_TRUE(released());
}

// ---- sending --------------------------------------------------------------

TEST_P(SessionTest, PushOfNothingAndPushWithoutSocketReturnZero) {
    connectedSession();
    EXPECT_EQ(0, m_session->push("x", 0));
    EXPECT_EQ("", readNow(m_peer.get()));

    auto probe = std::make_shared<Probe>();
    auto* socketless = new RecordingSession(probe);
    EXPECT_EQ(0, socketless->push("abc", 3));
    StringPacket packet("abc");
    EXPECT_EQ(0, socketless->push(&packet));
    socketless->destroy();
}

// The pushes of one loop pass leave together, in order, when the pass ends;
// what the kernel does not take waits for writable, behind the next pushes.
TEST_P(SessionTest, PushesOfAPassLeaveInOneWriteAndATailWaitsInOrder) {
    connectedSession(1024, /*smallKernelBuffers=*/true);
    for (const char* piece : {"one,", "two,", "three"}) ASSERT_EQ(0, m_session->push(piece, std::strlen(piece)));
    EXPECT_EQ("", readNow(m_peer.get())) << "written before the pass ended";
    g_pPoller->flushDeferred();
    EXPECT_EQ(std::vector<int>{13}, m_probe->writes);
    EXPECT_EQ("one,two,three", readNow(m_peer.get()));

    const std::string big = pattern(1 << 20);
    ASSERT_EQ(0, m_session->push(big.data(), static_cast<unsigned>(big.size())));
    g_pPoller->flushDeferred();
    const int queued = m_session->sendQueued();
    ASSERT_GT(queued, 0) << "the kernel took all of it";
    ASSERT_EQ(0, m_session->push("TAIL", 4));
    EXPECT_EQ(queued + 4, m_session->sendQueued());
    const std::string got = peerReceives(big.size() + 4);
    EXPECT_TRUE(got == big + "TAIL") << "bytes arrived out of order or incomplete";
}

TEST_P(SessionTest, ExpiredSessionFlushesWhatIsQueuedThenReleases) {
    connectedSession(1024, /*smallKernelBuffers=*/true);
    const std::string head = pattern(256 * 1024);
    const std::string tail(3000, 'z');
    ASSERT_EQ(0, m_session->push(head.data(), static_cast<unsigned>(head.size())));
    ASSERT_EQ(0, m_session->push(tail.data(), static_cast<unsigned>(tail.size())));
    ASSERT_GE(m_session->sendQueued(), 3000);

    m_session->setExpired();
    sendFromPeer("not read any more");
    runUntil([] { return false; }, 50);
    EXPECT_FALSE(released()) << "released before the queue was written";

    const std::string got = peerReceives(head.size() + tail.size(), /*untilEof=*/true);
    EXPECT_TRUE(got == head + tail);
    EXPECT_TRUE(runUntil([&] { return released(); }));
    EXPECT_EQ("", m_probe->received);
}

TEST_P(SessionTest, SendBufferLimitFailsSessionWhosePeerNeverReads) {
    std::vector<std::string> lines;
    errorlog::setSink([&](const std::string& line) { lines.push_back(line); });
    connectedSession(1024, /*smallKernelBuffers=*/true);
    m_session->setSendBufLimit(64 * 1024);
    const std::string chunk = pattern(16 * 1024);

    int rc = 0;
    size_t accepted = 0;
    for (int i = 0; i < 100 && rc == 0; ++i) {
        rc = m_session->push(chunk.data(), static_cast<unsigned>(chunk.size()));
        if (rc == 0) accepted += chunk.size();
    }
    ASSERT_EQ(-1, rc);
    EXPECT_EQ(std::make_pair(int(Session::SESSION_EWRITE), ENOBUFS), m_probe->errors.at(0));
    EXPECT_EQ(-1, m_session->push("more", 4));
    errorlog::setSink({});
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("send buffer limit 65536 reached (")) << lines[0];

    // The peer still reads nothing, yet the session goes away.
    ASSERT_TRUE(runUntil([&] { return released(); }));
    bool eof = false;
    std::string got;
    runUntil([&] {
        got += readNow(m_peer.get(), &eof);
        return eof;
    });
    EXPECT_TRUE(eof);
    EXPECT_LE(got.size(), accepted);
}

// ---- connecting -----------------------------------------------------------

TEST_P(SessionTest, AsyncConnectToListeningPortConnects) {
    UniqueFd listener = boundTcpSocket(/*listening=*/true);
    sockaddr_in addr = loopbackAddress(localPort(listener.get()));
    newSession();
    RecordingObserver observer;
    m_session->addEH(&observer);

    ASSERT_EQ(0, m_session->TCPConnectAsync(&addr));
    ASSERT_TRUE(runUntil([&] { return observer.connects == 1; }));
    EXPECT_EQ(Session::SESSION_NONE, m_session->getState());

    m_peer.reset(::accept(listener.get(), nullptr, nullptr));
    sendFromPeer("hi");
    EXPECT_TRUE(runUntil([&] { return m_probe->received == "hi"; }));
}

TEST_P(SessionTest, AsyncConnectToClosedPortReportsConnectError) {
    UniqueFd closedPort = boundTcpSocket(/*listening=*/false);
    sockaddr_in addr = loopbackAddress(localPort(closedPort.get()));
    newSession();
    RecordingObserver observer;
    m_session->addEH(&observer);

    if (m_session->TCPConnectAsync(&addr) != 0) {
        // Refused on the spot: reported by the result alone.
        EXPECT_EQ(-1, m_session->getSockfd());
        return;
    }
    ASSERT_TRUE(runUntil([&] { return released(); }));
    ASSERT_FALSE(m_probe->errors.empty());
    EXPECT_EQ(std::make_pair(int(Session::SESSION_ECONNECT), ECONNREFUSED), m_probe->errors[0]);
    EXPECT_EQ(1, observer.errors);
    EXPECT_EQ(0, observer.connects);
}

INSTANTIATE_TEST_SUITE_P(AllPollers, SessionTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
