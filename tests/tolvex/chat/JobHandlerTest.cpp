#include "tolvex/chat/JobHandler.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "cpputil/MicroTimer.h"
#include "p2p/P2PPacket.h"
#include "support/FakeWas.h"
#include "support/LoopDriver.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/ChatSessionDummy.h"

namespace {

constexpr int kWaitSec = 20;
const std::string kPage = "/was/probe.jsp";

// What a finished probe job reports; owned by the test, outlives the job.
struct Outcome {
    bool done = false;
    uint16_t code = 0;
    std::string errmsg;
    int payloadCalls = 0;
    std::string payload;
    bool hadCompanionAtReply = false;
};

// The smallest job: posts two fields to kPage, records the payload and its
// end. Releases its companion when asked, like the jobs given dummies.
class ProbeJob : public JobHandler {
public:
    ProbeJob(Outcome* out, bool retry, int retries, bool releasesCompanion)
        : m_out(out), m_retry(retry), m_retries(retries), m_releases(releasesCompanion) {}

    void doit(ChatSession* pFrom, const P2PPacket* pk) override {
        retryDoWas = m_retry;
        retryCount = m_retries;
        JobHandler::doit(pFrom, pk);
    }

    bool refuseRequest = false;

protected:
    int getWASInfo(const P2PPacket*, std::string* page, URLEncode* form) override {
        if (refuseRequest) return -1;
        *page = kPage;
        form->appendValue("room_id", 7);
        form->appendValue("text", "a b&c", true);
        return 0;
    }
    void processP2PPacket(const char* body, int blen) override {
        ++m_out->payloadCalls;
        m_out->payload.assign(body, static_cast<size_t>(blen));
        m_out->hadCompanionAtReply = companion() != nullptr;
    }
    void done(uint16_t rescode) override {
        m_out->done = true;
        m_out->code = rescode;
        m_out->errmsg = m_errmsg;
        if (m_releases) releaseCompanion();
        JobHandler::done(rescode);
    }

private:
    Outcome* m_out;
    bool m_retry;
    int m_retries;
    bool m_releases;
};

struct GoneTracker : SessionTracker {
    void sessionGone(Session*) override { gone = true; }
    bool gone = false;
};

class JobHandlerTest : public LoopFixture {
protected:
    void SetUp() override {
        LoopFixture::SetUp();
        JobHandler::setWaitSecOverride(kWaitSec);
        m_sessionsBefore = Session::s_counts;
        useServers({&m_was});
        // Timers start at the time of the last check: bring the list back to
        // the real clock after an earlier test moved it on.
        gettimeofday(&m_clock, nullptr);
        MicroTimer::getInst().check2At(m_clock);
    }
    void TearDown() override {
        // Cancelled WAS connections are released by the loop: let them go.
        m_clientPeer.reset();
        EXPECT_TRUE(runUntil([&] { return Session::s_counts == m_sessionsBefore; }));
        JobHandler::setWaitSecOverride(0);
        JobHandler::setMaxRequestsOverride(0);
        EXPECT_EQ(0u, JobHandler::jobsWaitingForAConnection());
        EXPECT_EQ(0, JobHandler::requestsInFlight());
        LoopFixture::TearDown();
    }

    void useServers(const std::vector<FakeWas*>& servers) {
        std::vector<std::string> list;
        for (FakeWas* w : servers) list.push_back(w->address());
        list.push_back("end");  // the first text without a colon ends the table
        g_was.convert2WasInfo(list.data(), static_cast<int>(list.size()));
        g_was.setSize(static_cast<int>(servers.size()));
    }
    void useRefusingServer() {
        m_refusing.reset(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_refusing.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(m_refusing.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        std::string list[] = {"127.0.0.1:" + std::to_string(ntohs(sa.sin_port)), "end"};
        g_was.convert2WasInfo(list, 2);
        g_was.setSize(1);
    }

    void start(bool retry = false, int retries = 1, ChatSession* companion = nullptr, bool releases = false) {
        (new ProbeJob(&m_out, retry, retries, releases))->doit(companion, nullptr);
    }
    bool finished() { return runUntil([&] { return m_out.done; }, 3000); }

    // Moves the timer clock past one whole wait, as if it had gone by.
    void letWaitExpire() {
        m_clock.tv_sec += kWaitSec + 1;
        MicroTimer::getInst().check2At(m_clock);
    }

    // A WAS stand-in that the test answers by hand: listening, never
    // accepting by itself. Returns its port.
    int useHandHeldServer() {
        m_refusing.reset(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_refusing.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(m_refusing.get(), 8);
        socklen_t len = sizeof sa;
        ::getsockname(m_refusing.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        const int port = ntohs(sa.sin_port);
        std::string list[] = {"127.0.0.1:" + std::to_string(port), "end"};
        g_was.convert2WasInfo(list, 2);
        g_was.setSize(1);
        return port;
    }
    // The accepted WAS connection (the caller closes it), or -1.
    int acceptOn(int) {
        int fd = -1;
        runUntil([&] {
            fd = ::accept4(m_refusing.get(), nullptr, nullptr, SOCK_NONBLOCK);
            return fd >= 0;
        });
        return fd;
    }

    // A client session on one end of a socket pair; the test holds the other.
    ChatSession* connectedClient() {
        int sv[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        m_clientPeer.reset(sv[1]);
        auto* session = new ChatSession;
        session->import(sv[0]);
        return session;
    }

    struct Fd {
        int fd = -1;
        void reset(int f = -1) {
            if (fd >= 0) ::close(fd);
            fd = f;
        }
        int get() const { return fd; }
        ~Fd() { reset(); }
    };

    FakeWas m_was;
    Outcome m_out;
    Fd m_refusing;
    Fd m_clientPeer;
    timeval m_clock{};
    int m_sessionsBefore = 0;
};

// ---- request and reply header ----------------------------------------------

TEST_F(JobHandlerTest, PostsItsFormToThePage) {
    start();
    ASSERT_TRUE(finished());
    const auto requests = m_was.requestsTo(kPage);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("HTTP/1.0", requests[0].version);
    EXPECT_EQ("room_id=7&text=a%20b%26c", requests[0].body);
    EXPECT_EQ("24", requests[0].header("Content-Length"));
    EXPECT_EQ("application/x-www-form-urlencoded", requests[0].header("Content-type"));
    EXPECT_EQ("", requests[0].header("Host"));
}

TEST_F(JobHandlerTest, WasResultCodeAndTextEndTheJob) {
    m_was.setReply(kPage, {500, FakeWas::resultHeader(2001, "no such room") + "<x/>"});
    start();
    ASSERT_TRUE(finished());
    EXPECT_EQ(2001, m_out.code);
    EXPECT_EQ("no such room", m_out.errmsg);
    EXPECT_EQ("<x/>", m_out.payload);  // handed on whatever the result
}

TEST_F(JobHandlerTest, BadMagicIsUnusableAndTheWholeBodyIsHandedOn) {
    m_was.setReply(kPage, {200, "{\"json\":1}"});
    start();
    ASSERT_TRUE(finished());
    EXPECT_EQ(JobHandler::RES_BAD_REPLY, m_out.code);
    EXPECT_EQ("invalid magiccode=7b", m_out.errmsg);
    EXPECT_EQ("{\"json\":1}", m_out.payload);
}

TEST_F(JobHandlerTest, MagicByteAloneIsUnusable) {
    m_was.setReply(kPage, {200, "\xFE"});
    start();
    ASSERT_TRUE(finished());
    EXPECT_EQ(JobHandler::RES_BAD_REPLY, m_out.code);
}

TEST_F(JobHandlerTest, ErrorTextRunningPastTheBodyKeepsTheCode) {
    m_was.setReply(kPage, {200, std::string("\xFE\x05\x00\x40" "short", 9)});
    start();
    ASSERT_TRUE(finished());
    EXPECT_EQ(5, m_out.code);
    EXPECT_EQ(std::string("\xFE\x05\x00\x40" "short", 9), m_out.payload);  // no payload offset
}

TEST_F(JobHandlerTest, RefusedRequestEndsWith512WithoutContactingTheWas) {
    auto* job = new ProbeJob(&m_out, false, 1, false);
    job->refuseRequest = true;
    job->doit(nullptr, nullptr);
    ASSERT_TRUE(m_out.done);
    EXPECT_EQ(JobHandler::RES_NO_WAS_INFO, m_out.code);
    EXPECT_EQ(0u, m_was.requestCount());
}

// ---- timeouts, errors, retries ---------------------------------------------

TEST_F(JobHandlerTest, SilentWasIsRetriedOnTheNextServerThenTimesOut) {
    FakeWas second;
    useServers({&m_was, &second});
    m_was.neverAnswer(kPage);
    second.neverAnswer(kPage);

    start(true, 1);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() + second.requestCount() == 1; }));
    letWaitExpire();
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() + second.requestCount() == 2; }));
    EXPECT_EQ(1u, m_was.requestCount());  // two consecutive servers, one each
    EXPECT_EQ(1u, second.requestCount());
    EXPECT_FALSE(m_out.done);

    letWaitExpire();
    ASSERT_TRUE(m_out.done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, m_out.code);
    EXPECT_EQ(0, m_out.payloadCalls);
}

TEST_F(JobHandlerTest, QueryThatCannotStartIsRetriedOnTheNextServerAfterTheWait) {
    // Port 0 fails before any connection is tried, like a process out of
    // descriptors or a poller past its range.
    std::string list[] = {"127.0.0.1:0", m_was.address(), "end"};
    g_was.convert2WasInfo(list, 3);
    g_was.setSize(2);
    // The round-robin cursor is shared: leave it so the job's first pick is
    // the broken entry.
    for (int index = -1; index != 1;) {
        index = -1;
        g_was.getWAS(&index);
    }

    start(true, 1);
    runUntil([&] { return m_out.done; }, 200);
    EXPECT_FALSE(m_out.done) << "ended with " << m_out.code << " " << m_out.errmsg;
    letWaitExpire();
    ASSERT_TRUE(finished());
    EXPECT_EQ(1u, m_was.requestCount());
    EXPECT_EQ(0, m_out.code);
}

TEST_F(JobHandlerTest, RefusedConnectionWithoutRetriesEndsWith1029SayingSo) {
    useRefusingServer();
    start(false);
    ASSERT_TRUE(finished());
    EXPECT_EQ(JobHandler::RES_TIMEOUT, m_out.code);
    EXPECT_EQ("WAS connection failed", m_out.errmsg);
}

TEST_F(JobHandlerTest, RoundRobinSpreadsJobsOverThreeServers) {
    FakeWas second, third;
    useServers({&m_was, &second, &third});
    Outcome outs[3];
    for (Outcome& out : outs) (new ProbeJob(&out, false, 1, false))->doit(nullptr, nullptr);
    ASSERT_TRUE(runUntil([&] { return outs[0].done && outs[1].done && outs[2].done; }));
    EXPECT_EQ(1u, m_was.requestCount());
    EXPECT_EQ(1u, second.requestCount());
    EXPECT_EQ(1u, third.requestCount());
}

// ---- requests in flight ----------------------------------------------------

TEST_F(JobHandlerTest, JobsBeyondTheLimitWaitTheirTurnAndTheirWaitStartsWhenSent) {
    JobHandler::setMaxRequestsOverride(2);
    m_was.neverAnswer(kPage);
    Outcome outs[3];
    for (Outcome& out : outs) (new ProbeJob(&out, false, 1, false))->doit(nullptr, nullptr);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 2; }));
    EXPECT_EQ(2, JobHandler::requestsInFlight());
    EXPECT_EQ(1u, JobHandler::jobsWaitingForAConnection());

    // The two sent time out; the third was not waiting for a reply yet.
    letWaitExpire();
    EXPECT_TRUE(outs[0].done && outs[1].done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, outs[0].code);
    EXPECT_FALSE(outs[2].done);

    JobHandler::startWaitingJobs();
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 3; }));
    EXPECT_EQ(1, JobHandler::requestsInFlight());
    letWaitExpire();
    EXPECT_TRUE(outs[2].done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, outs[2].code);
}

TEST_F(JobHandlerTest, ClientLeavingWhileItsJobWaitsForAConnectionIsForgotten) {
    JobHandler::setMaxRequestsOverride(1);
    Outcome first;
    const int wasPort = useHandHeldServer();
    (new ProbeJob(&first, false, 1, false))->doit(nullptr, nullptr);
    const int was = acceptOn(wasPort);
    ASSERT_GE(was, 0);

    ChatSession* client = connectedClient();
    GoneTracker gone;
    client->setTracker(&gone);
    start(false, 1, client);
    EXPECT_EQ(1u, JobHandler::jobsWaitingForAConnection());
    m_clientPeer.reset();
    ASSERT_TRUE(runUntil([&] { return gone.gone; }));

    ::close(was);  // the first request fails; its connection goes to the second
    ASSERT_TRUE(runUntil([&] {
        JobHandler::startWaitingJobs();
        return first.done && JobHandler::jobsWaitingForAConnection() == 0;
    }));
    const int second = acceptOn(wasPort);
    ASSERT_GE(second, 0);
    const std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + FakeWas::resultHeader(0) + "<rows/>";
    ASSERT_EQ(static_cast<ssize_t>(reply.size()), ::send(second, reply.data(), reply.size(), MSG_NOSIGNAL));
    ::close(second);
    ASSERT_TRUE(finished());
    EXPECT_EQ(0, m_out.code);
    EXPECT_FALSE(m_out.hadCompanionAtReply);
}

// ---- the companion session -------------------------------------------------

TEST_F(JobHandlerTest, ClientThatLeavesDoesNotStopTheReply) {
    const int wasPort = useHandHeldServer();
    ChatSession* client = connectedClient();
    GoneTracker gone;
    client->setTracker(&gone);
    start(false, 1, client);
    const int was = acceptOn(wasPort);
    ASSERT_GE(was, 0);

    m_clientPeer.reset();  // the client disconnects while the job waits
    ASSERT_TRUE(runUntil([&] { return gone.gone; }));
    EXPECT_FALSE(m_out.done);

    const std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + FakeWas::resultHeader(0) + "<rows/>";
    ASSERT_EQ(static_cast<ssize_t>(reply.size()), ::send(was, reply.data(), reply.size(), MSG_NOSIGNAL));
    ::close(was);
    ASSERT_TRUE(finished());
    EXPECT_EQ(0, m_out.code);
    EXPECT_EQ("<rows/>", m_out.payload);
    EXPECT_FALSE(m_out.hadCompanionAtReply);
}

TEST_F(JobHandlerTest, RetryAfterTheClientLeftStillGetsTheReply) {
    m_was.neverAnswer(kPage);
    ChatSession* client = connectedClient();
    GoneTracker gone;
    client->setTracker(&gone);
    start(true, 1, client);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 1; }));
    m_clientPeer.reset();
    ASSERT_TRUE(runUntil([&] { return gone.gone; }));

    // The wait still runs: the retry reaches a WAS that answers.
    m_was.setReply(kPage, {200, FakeWas::resultHeader(0) + "<rows/>"});
    letWaitExpire();
    ASSERT_TRUE(finished());
    EXPECT_EQ(0, m_out.code);
    EXPECT_EQ("<rows/>", m_out.payload);
    EXPECT_FALSE(m_out.hadCompanionAtReply);
}

TEST_F(JobHandlerTest, JobWhoseClientFailedStillTimesOut) {
    m_was.neverAnswer(kPage);
    ChatSession* client = connectedClient();
    GoneTracker gone;
    client->setTracker(&gone);
    start(false, 1, client);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 1; }));
    m_clientPeer.reset();
    ASSERT_TRUE(runUntil([&] { return gone.gone; }));

    letWaitExpire();
    ASSERT_TRUE(m_out.done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, m_out.code);
}

TEST_F(JobHandlerTest, DummyOfATimedOutJobIsReleased) {
    m_was.neverAnswer(kPage);
    ChatSessionDummy* dummy = ChatSessionDummy::create();
    GoneTracker gone;
    dummy->setTracker(&gone);
    start(false, 1, dummy, true);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 1; }));

    letWaitExpire();
    ASSERT_TRUE(m_out.done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, m_out.code);
    EXPECT_TRUE(gone.gone);
}

TEST_F(JobHandlerTest, DummyIsReleasedAfterTheReply) {
    ChatSessionDummy* dummy = ChatSessionDummy::create();
    GoneTracker gone;
    dummy->setTracker(&gone);
    start(false, 1, dummy, true);
    ASSERT_TRUE(finished());
    EXPECT_TRUE(m_out.hadCompanionAtReply);
    EXPECT_TRUE(gone.gone);
}

}  // namespace
