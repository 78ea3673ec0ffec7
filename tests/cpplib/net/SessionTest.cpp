#include "net/Session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cpputil/ErrorLog.h"
#include "cpputil/MicroTimer.h"
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
        if (!consume) return;
        m_probe->received.append(buf->data() + buf->getDataSize() - len, static_cast<size_t>(len));
        Session::readData(len, buf);
    }
    void writeData(int len) override {
        m_probe->writes.push_back(len);
        Session::writeData(len);
    }

    bool consume = true;

private:
    std::shared_ptr<Probe> m_probe;
};

// Counts the errors it hears.
class RecordingObserver : public Session::EventHandler {
public:
    void connectEvent(Session*, bool*) override {}
    void reqRecvEvent(Session*, const Packet*, bool*) override {}
    void resRecvEvent(Session*, const Packet*, bool*) override {}
    void errorEvent(Session* s, bool*) override {
        ++errors;
        if (onError) onError(s);
    }
    bool compareKey(Session*, const Packet*) override { return false; }

    int errors = 0;
    std::function<void(Session*)> onError;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

class SessionTest : public LoopParamFixture {
protected:
    void TearDown() override {
        // Sessions own themselves: a closed peer makes the loop release one.
        m_peer.reset();
        errorlog::setSink({});
        EXPECT_TRUE(runUntil([&] { return m_probe->destroyed; })) << "session never released";
        LoopParamFixture::TearDown();
    }

    // A session on one end of a socket pair; the test plays the other end.
    // Small kernel buffers make the kernel take only part of a large write.
    void connect(int recvBuf = 1024, bool smallKernelBuffers = false) {
        auto [mine, peer] = streamPair();
        for (int fd : {mine.get(), peer.get()}) {
            if (!smallKernelBuffers) break;
            int small = 4096;
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        m_session = new RecordingSession(m_probe);
        m_session->initBuffer(1024, recvBuf, 1, 1);
        ASSERT_TRUE(m_session->import(mine.release()));
        m_peer = std::move(peer);
    }

    // Hands the session one event, as the poller would.
    void dispatch(short revents) {
        Poller::PollEvent ev;
        ev.fd = m_session->getSockfd();
        ev.revents = revents;
        ev.client = m_session;
        m_session->notifyPollEvent(&ev);
    }

    void push(const std::string& bytes) {
        ASSERT_EQ(0, m_session->push(bytes.data(), static_cast<unsigned>(bytes.size())));
    }

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

    bool released() const { return m_probe->destroyed; }

    std::shared_ptr<Probe> m_probe = std::make_shared<Probe>();
    RecordingSession* m_session = nullptr;
    UniqueFd m_peer;
    std::vector<std::string> m_errorLog;
};

// ---- release path ---------------------------------------------------------

// setRelease() ends an idle session at the next pass; a timer it left armed
// must never call into it afterwards.
TEST_P(SessionTest, ReleasedSessionLeavesNoTimerBehind) {
    connect();
    Session* raw = m_session;
    MicroTimer::getInst().setTimer(raw, 77, 0);  // would fire at every pass
    m_session->setRelease();

    ASSERT_TRUE(runUntil([&] { return released(); }));
    MicroTimer::getInst().check2();
    EXPECT_FALSE(MicroTimer::getInst().killTimer(raw, 77));
}

TEST_P(SessionTest, FullReceiveBufferNotDrainedRaisesLogicErrorWithZero) {
    connect(/*recvBuf=*/16);
    m_session->consume = false;
    ASSERT_EQ(32, ::send(m_peer.get(), pattern(32).data(), 32, 0));
    ASSERT_TRUE(runUntil([&] { return released(); }));
    ASSERT_FALSE(m_probe->errors.empty());
    EXPECT_EQ(std::make_pair(int(Session::SESSION_ELOGIC), 0), m_probe->errors[0]);
}

// ---- observers ------------------------------------------------------------

TEST_P(SessionTest, ObserverRemovingTheNextOneDuringTheErrorIsSafe) {
    connect();
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

// ---- sending --------------------------------------------------------------

// The pushes of one loop pass leave together, in order, when the pass ends;
// what the kernel does not take waits for writable, behind the next pushes.
TEST_P(SessionTest, PushesOfAPassLeaveInOneWriteAndATailWaitsInOrder) {
    connect(1024, /*smallKernelBuffers=*/true);
    for (const char* piece : {"one,", "two,", "three"}) push(piece);
    EXPECT_EQ("", readNow(m_peer.get())) << "written before the pass ended";
    g_pPoller->flushDeferred();
    EXPECT_EQ(std::vector<int>{13}, m_probe->writes);
    EXPECT_EQ("one,two,three", readNow(m_peer.get()));

    const std::string big = pattern(1 << 20);
    push(big);
    g_pPoller->flushDeferred();
    const int queued = m_session->sendQueued();
    ASSERT_GT(queued, 0) << "the kernel took all of it";
    push("TAIL");
    EXPECT_EQ(queued + 4, m_session->sendQueued());
    EXPECT_TRUE(peerReceives(big.size() + 4) == big + "TAIL") << "bytes arrived out of order or incomplete";
}

TEST_P(SessionTest, ExpiredSessionFlushesWhatIsQueuedThenReleases) {
    connect(1024, /*smallKernelBuffers=*/true);
    const std::string all = pattern(256 * 1024) + std::string(3000, 'z');
    push(all);
    ASSERT_GE(m_session->sendQueued(), 3000);

    m_session->setExpired();
    ASSERT_EQ(4, ::send(m_peer.get(), "late", 4, 0));
    runUntil([] { return false; }, 50);
    EXPECT_FALSE(released()) << "released before the queue was written";

    EXPECT_TRUE(peerReceives(all.size(), /*untilEof=*/true) == all);
    EXPECT_TRUE(runUntil([&] { return released(); }));
    EXPECT_EQ("", m_probe->received);
}

// A peer that never reads costs at most the limit: the push past it fails,
// the operator hears of it once, and the session goes away.
TEST_P(SessionTest, SendBufferLimitFailsSessionWhosePeerNeverReads) {
    errorlog::setSink([this](const std::string& line) { m_errorLog.push_back(line); });
    connect(1024, /*smallKernelBuffers=*/true);
    m_session->setSendBufLimit(64 * 1024);
    const std::string chunk = pattern(16 * 1024);
    int rc = 0;
    for (int i = 0; i < 100 && rc == 0; ++i) rc = m_session->push(chunk.data(), static_cast<unsigned>(chunk.size()));
    ASSERT_EQ(-1, rc);
    EXPECT_EQ(std::make_pair(int(Session::SESSION_EWRITE), ENOBUFS), m_probe->errors.at(0));
    EXPECT_EQ(-1, m_session->push("more", 4));
    ASSERT_EQ(1u, m_errorLog.size());
    EXPECT_EQ(0u, m_errorLog[0].find("send buffer limit 65536 reached (")) << m_errorLog[0];
    EXPECT_TRUE(runUntil([&] { return released(); }));
}

INSTANTIATE_TEST_SUITE_P(AllPollers, SessionTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
