#include "net/HttpClientSession.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "SocketHelpers.h"
#include "net/URLEncode.h"
#include "support/LoopDriver.h"

namespace {

// Records what one request's handler hears.
class RecordingHandler : public Session::EventHandler {
public:
    void connectEvent(Session*, bool*) override {}
    void reqRecvEvent(Session*, const Packet*, bool*) override {}
    void resRecvEvent(Session*, const Packet* p, bool*) override {
        const auto* res = dynamic_cast<const HttpResPacket*>(p);
        ++replies;
        code = res->m_code;
        ver = res->m_ver;
        nullBody = res->m_body == nullptr;
        if (res->m_body) body.assign(res->m_body, static_cast<size_t>(res->m_bodylen));
    }
    void errorEvent(Session*, bool*) override { ++errors; }
    bool compareKey(Session*, const Packet*) override { return false; }

    int replies = 0;
    int errors = 0;
    std::string code, ver, body;
    bool nullBody = false;
};

struct GoneTracker : SessionTracker {
    void sessionGone(Session*) override {
        gone = true;
        ++count;
    }
    bool gone = false;
    int count = 0;
};

class HttpClientSessionTest : public LoopFixture {
protected:
    void SetUp() override {
        LoopFixture::SetUp();
        m_listen = boundTcpSocket(true);
        setNonblock(m_listen.get());
    }
    // Every request ends before the poller goes: the WAS hangs up.
    void TearDown() override {
        closeWas();
        m_listen.reset();
        EXPECT_TRUE(runUntil([&] { return m_ended.count == m_started; }));
        LoopFixture::TearDown();
    }

    HttpClientSession* post(const char* page, const char* form, int port = -1) {
        HttpClientSession* s = HttpClientFactory::getInst()->newInst();
        sockaddr_in addr = loopbackAddress(port < 0 ? localPort(m_listen.get()) : port);
        s->setTracker(&m_ended);
        m_queryResult = s->query(&addr, "1.0", "POST", page, form, nullptr, nullptr, &m_handler);
        if (m_queryResult == 0) ++m_started;
        return s;
    }

    bool acceptWas() {
        return runUntil([&] {
            const int fd = ::accept(m_listen.get(), nullptr, nullptr);
            if (fd >= 0) m_was.reset(fd);
            return fd >= 0;
        });
    }

    // The whole request: head plus the announced body.
    std::string readRequest() {
        std::string in;
        runUntil([&] {
            char buf[4096];
            const ssize_t n = ::recv(m_was.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) in.append(buf, static_cast<size_t>(n));
            const size_t end = in.find("\r\n\r\n");
            if (end == std::string::npos) return false;
            const size_t at = in.find("Content-Length: ");
            const size_t len = at == std::string::npos ? 0 : std::stoul(in.substr(at + 16));
            return in.size() >= end + 4 + len;
        });
        return in;
    }

    void reply(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(m_was.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    void closeWas() { m_was.reset(); }

    void answerAndClose(const std::string& bytes) {
        ASSERT_TRUE(acceptWas());
        readRequest();
        reply(bytes);
        closeWas();
        ASSERT_TRUE(runUntil([&] { return heardBack(); }));
    }

    bool heardBack() const { return m_handler.replies + m_handler.errors > 0; }

    RecordingHandler m_handler;
    GoneTracker m_ended;
    int m_started = 0;
    UniqueFd m_listen;
    UniqueFd m_was;
    int m_queryResult = -2;
};

TEST_F(HttpClientSessionTest, PageLongerThanAnOldHeadBufferIsSentWhole) {
    const std::string page = "/" + std::string(3000, 'p');
    post(page.c_str(), "a=1");
    ASSERT_TRUE(acceptWas());
    const std::string request = readRequest();
    EXPECT_EQ(0u, request.find("POST " + page + " HTTP/1.0\r\n"));
}

TEST_F(HttpClientSessionTest, ErrorStatusIsDeliveredWithItsBody) {
    post("/p", "a=1");
    answerAndClose("HTTP/1.0 500 Internal Server Error\r\nServer: x\r\nContent-Length: 1\r\n\r\nbody bytes");
    EXPECT_EQ(1, m_handler.replies);
    EXPECT_EQ(0, m_handler.errors);
    EXPECT_EQ("500", m_handler.code);
    EXPECT_EQ("1.0", m_handler.ver);
    EXPECT_EQ("body bytes", m_handler.body);  // Content-Length is not trusted
}

TEST_F(HttpClientSessionTest, StatusLineWithoutReasonIsInvalid) {
    post("/p", "a=1");
    answerAndClose("HTTP/1.0 200\r\n\r\nbody");
    EXPECT_EQ(0, m_handler.replies);
    EXPECT_EQ(1, m_handler.errors);
}

TEST_F(HttpClientSessionTest, CloseBeforeEndOfHeadersIsAnError) {
    post("/p", "a=1");
    answerAndClose("HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(0, m_handler.replies);
    EXPECT_EQ(1, m_handler.errors);
}

TEST_F(HttpClientSessionTest, BareLineFeedsEndTheHeaders) {
    post("/p", "a=1");
    answerAndClose("HTTP/1.0 200 OK\nA: b\n\nxyz");
    EXPECT_EQ(1, m_handler.replies);
    EXPECT_EQ("xyz", m_handler.body);
}

TEST_F(HttpClientSessionTest, ReplySplitInsideTheHeadersIsJoined) {
    HttpClientSession* s = post("/p", "a=1");
    ASSERT_TRUE(acceptWas());
    readRequest();
    reply("HTTP/1.0 200 OK\r\nX-Long: abc");
    ASSERT_TRUE(runUntil([&] { return s->receiveState() == HttpClientSession::RECV_HTTP_HEADER; }));
    reply("def\r\n\r\n\xFE");
    reply(std::string("\x00\x00\x00<x/>", 7));
    closeWas();
    ASSERT_TRUE(runUntil([&] { return heardBack(); }));
    EXPECT_EQ(std::string("\xFE\x00\x00\x00<x/>", 8), m_handler.body);
}

TEST_F(HttpClientSessionTest, BodyOverTheCapIsDeliveredWithoutBody) {
    post("/p", "a=1");
    ASSERT_TRUE(acceptWas());
    readRequest();
    const int fd = m_was.get();
    std::thread writer([fd] {
        const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        const std::string chunk(64 * 1024, 'x');
        for (int sent = 0; sent <= HttpClientSession::kMaxBodyBytes; sent += static_cast<int>(chunk.size()))
            if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;  // we were cut off
    });
    const bool heard = runUntil([&] { return heardBack(); }, 5000);
    ::shutdown(fd, SHUT_RDWR);
    writer.join();
    ASSERT_TRUE(heard);
    EXPECT_EQ(1, m_handler.replies);
    EXPECT_TRUE(m_handler.nullBody);
}

TEST_F(HttpClientSessionTest, RefusedConnectionEndsInOneErrorEvent) {
    UniqueFd closedPort = boundTcpSocket(false);  // bound, not listening: refuses
    post("/p", "a=1", localPort(closedPort.get()));
    ASSERT_EQ(0, m_queryResult);
    ASSERT_TRUE(runUntil([&] { return heardBack(); }));
    EXPECT_EQ(1, m_handler.errors);
    EXPECT_EQ(0, m_handler.replies);
}

TEST_F(HttpClientSessionTest, CancelResetsTheConnectionAndTellsTheHandlerOnce) {
    HttpClientSession* s = post("/p", "a=1");
    ASSERT_TRUE(acceptWas());
    s->cancel();
    EXPECT_EQ(1, m_handler.errors);
    // The WAS sees the connection reset (no port of ours waits in
    // TIME_WAIT); the request bytes before the reset may still be read.
    int lastErrno = 0;
    ASSERT_TRUE(runUntil([&] {
        char c[256];
        const ssize_t n = ::recv(m_was.get(), c, sizeof c, MSG_DONTWAIT);
        lastErrno = n < 0 ? errno : 0;
        return n == 0 || (n < 0 && errno != EAGAIN);
    }));
    EXPECT_EQ(ECONNRESET, lastErrno);
    EXPECT_EQ(1, m_handler.errors);
    EXPECT_EQ(0, m_handler.replies);
}

TEST_F(HttpClientSessionTest, HandlerThatLeftHearsNothing) {
    HttpClientSession* s = post("/p", "a=1");
    EXPECT_EQ(-1, s->delEH(nullptr));
    EXPECT_EQ(0, s->delEH(&m_handler));
    ASSERT_TRUE(acceptWas());
    readRequest();
    reply("HTTP/1.0 200 OK\r\n\r\nbody");
    closeWas();
    ASSERT_TRUE(runUntil([&] { return m_ended.gone; }));
    EXPECT_FALSE(heardBack());
}

TEST_F(HttpClientSessionTest, UnresolvableHostFailsAtOnce) {
    HttpClientSession* s = HttpClientFactory::getInst()->newInst();
    EXPECT_EQ(-1, s->query("no-such-host.invalid", 80, "1.0", "POST", "/p", "a=1", nullptr, nullptr, &m_handler));
    EXPECT_FALSE(heardBack());
}

// ---- form encoding ----------------------------------------------------------

class URLEncodeTest : public ::testing::Test {
protected:
    URLEncode m_form;
    void SetUp() override { m_form.init(512); }
};

TEST_F(URLEncodeTest, CountedValueKeepsZeroBytes) {
    m_form.appendValue("msg", "a\0b", 3, true);
    EXPECT_EQ("msg=a%00b", m_form.str());
}

TEST_F(URLEncodeTest, ValueThatDoesNotFitIsCutAndTheBodyStaysBounded) {
    URLEncode small;
    small.init(16);
    EXPECT_EQ(1, small.appendValue("v", std::string(100, 'a').c_str(), true));
    EXPECT_LE(small.size(), 16);
    EXPECT_EQ(0u, small.str().find("v=aaaa"));
    EXPECT_EQ(0, small.appendName("next_field_name"));
}
}  // namespace
