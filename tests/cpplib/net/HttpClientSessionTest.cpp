#include "net/HttpClientSession.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <ostream>
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
    void sessionGone(Session*) override { ++count; }
    int count = 0;
};

// A fake WAS on a listening socket the test drives by hand.
class HttpClientSessionTest : public LoopFixture {
protected:
    void SetUp() override {
        LoopFixture::SetUp();
        setNonblock(m_listen.get());
    }
    // Every request ends before the poller goes: the WAS hangs up.
    void TearDown() override {
        m_was.reset();
        EXPECT_TRUE(runUntil([&] { return m_ended.count == m_started; }));
        LoopFixture::TearDown();
    }

    // Posts "a=1", waits for the connection and reads the whole request.
    HttpClientSession* post() {
        HttpClientSession* s = HttpClientFactory::getInst()->newInst();
        sockaddr_in addr = loopbackAddress(localPort(m_listen.get()));
        s->setTracker(&m_ended);
        EXPECT_EQ(0, s->query(&addr, "1.0", "POST", "/p", "a=1", nullptr, nullptr, &m_handler));
        ++m_started;
        EXPECT_TRUE(runUntil([&] {
            m_was.reset(::accept(m_listen.get(), nullptr, nullptr));
            return m_was.get() >= 0;
        }));
        std::string in;
        runUntil([&] { return (in += readNow(m_was.get())).find("\r\n\r\na=1") != std::string::npos; });
        return s;
    }

    void reply(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(m_was.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }

    bool heardBack() const { return m_handler.replies + m_handler.errors > 0; }

    RecordingHandler m_handler;
    GoneTracker m_ended;
    int m_started = 0;
    UniqueFd m_listen = boundTcpSocket(/*listening=*/true);
    UniqueFd m_was;
};

struct reply_case_t {
    const char* name;
    std::string bytes;  // all the WAS sends before it closes
    bool delivered;     // a reply (else one error event)
    std::string code;
    std::string body;
};

void PrintTo(const reply_case_t& c, std::ostream* os) {
    *os << c.name;
}

class HttpReplyTest : public HttpClientSessionTest, public testing::WithParamInterface<reply_case_t> {};

TEST_P(HttpReplyTest, ReplyIsDeliveredOnlyWithAWholeStatusLineAndHead) {
    const reply_case_t& c = GetParam();
    post();
    reply(c.bytes);
    m_was.reset();
    ASSERT_TRUE(runUntil([&] { return heardBack(); }));
    EXPECT_EQ(c.delivered ? 1 : 0, m_handler.replies);
    EXPECT_EQ(c.delivered ? 0 : 1, m_handler.errors);
    if (c.delivered) {
        EXPECT_EQ(c.code, m_handler.code);
        EXPECT_EQ("1.0", m_handler.ver);
        EXPECT_EQ(c.body, m_handler.body);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HttpReplyTest,
    testing::Values(
        // Content-Length is not trusted: the body is what came before the close.
        reply_case_t{"ErrorStatusWithItsBody", "HTTP/1.0 500 Internal Server Error\r\nServer: x\r\nContent-Length: 1\r\n\r\nbody bytes", true,
                     "500", "body bytes"},
        reply_case_t{"BareLineFeeds", "HTTP/1.0 200 OK\nA: b\n\nxyz", true, "200", "xyz"},
        reply_case_t{"StatusLineWithoutReason", "HTTP/1.0 200\r\n\r\nbody", false, "", ""},
        reply_case_t{"CloseBeforeTheEndOfTheHead", "HTTP/1.0 200 OK\r\n", false, "", ""}));

TEST_F(HttpClientSessionTest, ReplySplitInsideTheHeadersIsJoined) {
    HttpClientSession* s = post();
    reply("HTTP/1.0 200 OK\r\nX-Long: abc");
    ASSERT_TRUE(runUntil([&] { return s->receiveState() == HttpClientSession::RECV_HTTP_HEADER; }));
    reply("def\r\n\r\n\xFE");
    reply(std::string("\x00\x00\x00<x/>", 7));
    m_was.reset();
    ASSERT_TRUE(runUntil([&] { return heardBack(); }));
    EXPECT_EQ(std::string("\xFE\x00\x00\x00<x/>", 8), m_handler.body);
}

TEST_F(HttpClientSessionTest, BodyOverTheCapIsDeliveredWithoutBody) {
    post();
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

TEST_F(HttpClientSessionTest, CancelResetsTheConnectionAndTellsTheHandlerOnce) {
    HttpClientSession* s = post();
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
    EXPECT_EQ(0, post()->delEH(&m_handler));
    reply("HTTP/1.0 200 OK\r\n\r\nbody");
    m_was.reset();
    ASSERT_TRUE(runUntil([&] { return m_ended.count == 1; }));
    EXPECT_FALSE(heardBack());
}

// A form value that does not fit is cut, and the body stays within its size.
TEST(URLEncodeTest, ValueThatDoesNotFitIsCutAndTheBodyStaysBounded) {
    URLEncode small;
    small.init(16);
    EXPECT_EQ(1, small.appendValue("v", std::string(100, 'a').c_str(), true));
    EXPECT_LE(small.size(), 16);
    EXPECT_EQ(0u, small.str().find("v=aaaa"));
    EXPECT_EQ(0, small.appendName("next_field_name"));
}

}  // namespace
