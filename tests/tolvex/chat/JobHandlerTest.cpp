// The WAS job base: how it reads the reply header, its wait, retries on the
// next server, the limit on requests in flight, and the companion session
// that may go away while the job runs.

#include "tolvex/chat/JobHandler.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "cpputil/MicroTimer.h"
#include "p2p/P2PPacket.h"
#include "support/chat/ChatRoomFixture.h"
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
    std::string payload;
    bool hadCompanionAtReply = false;
};

// The smallest job: posts a field to kPage, records the payload and its end.
// Releases a dummy companion at the end, like the jobs given dummies.
class ProbeJob : public JobHandler {
public:
    ProbeJob(Outcome* out, bool retry) : m_out(out), m_retry(retry) {}

    void doit(ChatSession* pFrom, const P2PPacket* pk) override {
        retryDoWas = m_retry;
        retryCount = 1;
        JobHandler::doit(pFrom, pk);
    }

protected:
    int getWASInfo(const P2PPacket*, std::string* page, URLEncode* form) override {
        *page = kPage;
        form->appendValue("room_id", 7);
        return 0;
    }
    void processP2PPacket(const char* body, int blen) override {
        m_out->payload.assign(body, static_cast<size_t>(blen));
        m_out->hadCompanionAtReply = companion() != nullptr;
    }
    void done(uint16_t rescode) override {
        m_out->done = true;
        m_out->code = rescode;
        m_out->errmsg = m_errmsg;
        if (dynamic_cast<ChatSessionDummy*>(companion())) releaseCompanion();
        JobHandler::done(rescode);
    }

private:
    Outcome* m_out;
    bool m_retry;
};

struct GoneTracker : SessionTracker {
    void sessionGone(Session*) override { gone = true; }
    bool gone = false;
};

class JobHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        JobHandler::setWaitSecOverride(kWaitSec);
        // Timers start at the time of the last check: bring the list back to
        // the real clock after an earlier test moved it on.
        gettimeofday(&m_clock, nullptr);
        MicroTimer::getInst().check2At(m_clock);
    }
    void TearDown() override {
        JobHandler::setMaxRequestsOverride(0);
        EXPECT_EQ(0u, JobHandler::jobsWaitingForAConnection());
        EXPECT_EQ(0, JobHandler::requestsInFlight());
        ChatRoomFixture::TearDown();
    }

    static void useServers(std::vector<std::string> list) {
        const int size = static_cast<int>(list.size());
        list.push_back("end");  // the first text without a colon ends the table
        g_was.convert2WasInfo(list.data(), size + 1);
        g_was.setSize(size);
    }
    void start(bool retry = false, ChatSession* companion = nullptr) {
        (new ProbeJob(&m_out, retry))->doit(companion, nullptr);
    }
    bool finished() { return runUntil([&] { return m_out.done; }, 3000); }

    // Moves the timer clock past one whole wait, as if it had gone by.
    void letWaitExpire() {
        m_clock.tv_sec += kWaitSec + 1;
        MicroTimer::getInst().check2At(m_clock);
    }

    // A client session, which hangs up once the job holds it.
    ChatSession* connectedClient() {
        m_client = &connect();
        m_client->session()->setTracker(&m_clientGone);
        return m_client->session();
    }
    bool clientHangsUp() {
        m_client->hangUp();
        return runUntil([&] { return m_clientGone.gone; });
    }

    Outcome m_out;
    ChatPeer* m_client = nullptr;
    GoneTracker m_clientGone;
    timeval m_clock{};
};

struct reply_case_t {
    const char* name;
    std::string body;
    uint16_t code;
    std::string errmsg;
    std::string payload;  // handed on whatever the result
};

class JobReplyTest : public JobHandlerTest, public ::testing::WithParamInterface<reply_case_t> {};

TEST_P(JobReplyTest, HeaderGivesTheResultAndTheRestIsHandedOn) {
    m_was.setReply(kPage, {200, GetParam().body});
    start();
    ASSERT_TRUE(finished());
    EXPECT_EQ(GetParam().code, m_out.code);
    EXPECT_EQ(GetParam().errmsg, m_out.errmsg);
    if (GetParam().code != JobHandler::RES_BAD_REPLY || !GetParam().payload.empty()) {
        EXPECT_EQ(GetParam().payload, m_out.payload);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, JobReplyTest,
    ::testing::Values(
        reply_case_t{"CodeAndText", FakeWas::resultHeader(2001, "no such room") + "<x/>", 2001, "no such room", "<x/>"},
        reply_case_t{"BadMagic", "{\"json\":1}", JobHandler::RES_BAD_REPLY, "invalid magiccode=7b", "{\"json\":1}"},
        reply_case_t{"MagicByteAlone", "\xFE", JobHandler::RES_BAD_REPLY, "", ""},
        // The error text runs past the body: the code stands, no payload offset.
        reply_case_t{"TextPastTheBody", std::string("\xFE\x05\x00\x40" "short", 9), 5, "",
                     std::string("\xFE\x05\x00\x40" "short", 9)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JobHandlerTest, SilentWasIsRetriedOnTheNextServerThenTimesOut) {
    FakeWas second;
    useServers({m_was.address(), second.address()});
    m_was.neverAnswer(kPage);
    second.neverAnswer(kPage);

    start(true);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() + second.requestCount() == 1; }));
    letWaitExpire();
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() + second.requestCount() == 2; }));
    EXPECT_EQ(1u, m_was.requestCount());  // two consecutive servers, one each
    EXPECT_EQ(1u, second.requestCount());
    EXPECT_FALSE(m_out.done);

    letWaitExpire();
    ASSERT_TRUE(m_out.done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, m_out.code);
    EXPECT_EQ("", m_out.payload);
}

TEST_F(JobHandlerTest, QueryThatCannotStartIsRetriedOnTheNextServerAfterTheWait) {
    // Port 0 fails before any connection is tried, like a process out of
    // descriptors or a poller past its range.
    useServers({"127.0.0.1:0", m_was.address()});
    // The round-robin cursor is shared: leave it so the job's first pick is
    // the broken entry.
    for (int index = -1; index != 1;) {
        index = -1;
        g_was.getWAS(&index);
    }

    start(true);
    runUntil([&] { return m_out.done; }, 200);
    EXPECT_FALSE(m_out.done) << "ended with " << m_out.code << " " << m_out.errmsg;
    letWaitExpire();
    ASSERT_TRUE(finished());
    EXPECT_EQ(1u, m_was.requestCount());
    EXPECT_EQ(0, m_out.code);
}

TEST_F(JobHandlerTest, JobsBeyondTheLimitWaitTheirTurnAndTheirWaitStartsWhenSent) {
    JobHandler::setMaxRequestsOverride(2);
    m_was.neverAnswer(kPage);
    Outcome outs[3];
    for (Outcome& out : outs) (new ProbeJob(&out, false))->doit(nullptr, nullptr);
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

// ---- the companion session: it may go at any point of the job ----

TEST_F(JobHandlerTest, ClientLeavingWhileItsJobWaitsForAConnectionIsForgotten) {
    JobHandler::setMaxRequestsOverride(1);
    m_was.neverAnswer(kPage);
    Outcome first;
    (new ProbeJob(&first, false))->doit(nullptr, nullptr);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 1; }));
    start(false, connectedClient());
    EXPECT_EQ(1u, JobHandler::jobsWaitingForAConnection());
    ASSERT_TRUE(clientHangsUp());

    // The first request times out; its connection goes to the second.
    m_was.setReply(kPage, {200, FakeWas::resultHeader(0) + "<rows/>"});
    letWaitExpire();
    ASSERT_TRUE(first.done);
    JobHandler::startWaitingJobs();
    ASSERT_TRUE(finished());
    EXPECT_EQ(0, m_out.code);
    EXPECT_EQ("<rows/>", m_out.payload);
    EXPECT_FALSE(m_out.hadCompanionAtReply);
}

TEST_F(JobHandlerTest, RetryAfterTheClientLeftStillGetsTheReply) {
    m_was.neverAnswer(kPage);
    start(true, connectedClient());
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 1; }));
    ASSERT_TRUE(clientHangsUp());

    // The wait still runs: the retry reaches a WAS that answers.
    m_was.setReply(kPage, {200, FakeWas::resultHeader(0) + "<rows/>"});
    letWaitExpire();
    ASSERT_TRUE(finished());
    EXPECT_EQ(0, m_out.code);
    EXPECT_EQ("<rows/>", m_out.payload);
    EXPECT_FALSE(m_out.hadCompanionAtReply);
}

// LeakSanitizer reports a dummy the job did not release.
TEST_F(JobHandlerTest, DummyIsReleasedAfterTheReplyAndAfterATimeout) {
    GoneTracker replied;
    ChatSessionDummy* dummy = ChatSessionDummy::create();
    dummy->setTracker(&replied);
    start(false, dummy);
    ASSERT_TRUE(finished());
    EXPECT_TRUE(m_out.hadCompanionAtReply);
    EXPECT_TRUE(replied.gone);

    m_out = {};
    m_was.neverAnswer(kPage);
    GoneTracker timedOut;
    dummy = ChatSessionDummy::create();
    dummy->setTracker(&timedOut);
    start(false, dummy);
    ASSERT_TRUE(runUntil([&] { return m_was.requestCount() == 2; }));
    letWaitExpire();
    ASSERT_TRUE(m_out.done);
    EXPECT_EQ(JobHandler::RES_TIMEOUT, m_out.code);
    EXPECT_TRUE(timedOut.gone);
}

}  // namespace
