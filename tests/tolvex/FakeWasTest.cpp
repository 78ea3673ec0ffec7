// The stand-in WAS of the loopback tests: what it records from a request
// sent the way the daemon sends it, and what it answers.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/FakeWas.h"

namespace {

// One HTTP exchange over a plain socket, as the daemon's HTTP session makes it.
class WasConnection {
public:
    explicit WasConnection(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    WasConnection(const WasConnection&) = delete;
    WasConnection& operator=(const WasConnection&) = delete;
    ~WasConnection() { ::close(m_fd); }

    bool connected() const { return m_connected; }
    void send(const std::string& bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Everything received until the server closes or timeoutMs passes.
    std::string readAll(int timeoutMs = 2000) {
        std::string got;
        for (;;) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, timeoutMs) <= 0) return got;
            char buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                m_closed = true;
                return got;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    }
    bool closed() const { return m_closed; }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
};

class FakeWasTest : public ::testing::Test {
protected:
    static std::string postHead(const std::string& page, size_t bodyLength) {
        return "POST " + page +
               " HTTP/1.0\r\nContent-type: application/x-www-form-urlencoded\r\nAccept-Language: ko\r\n"
               "Content-Length: " + std::to_string(bodyLength) + "\r\n\r\n";
    }
    // Posts form to page and returns the whole response.
    std::string post(const std::string& page, const std::string& form) {
        WasConnection c(m_was.port());
        EXPECT_TRUE(c.connected());
        c.send(postHead(page, form.size()) + form);
        return c.readAll();
    }
    static std::string bodyOf(const std::string& response) {
        const size_t at = response.find("\r\n\r\n");
        return at == std::string::npos ? "" : response.substr(at + 4);
    }

    FakeWas m_was;
};

TEST_F(FakeWasTest, RecordsTheRequestAndDecodesTheFormToExactBytes) {
    post("/was/save_msg", "room_id=7&msg=a%20b%26c&raw=%00%EA%B0&plus=a+b&empty=&bare");
    ASSERT_TRUE(m_was.waitForRequests(1));
    const FakeWas::Request r = m_was.requests().at(0);
    EXPECT_EQ("POST", r.method);
    EXPECT_EQ("/was/save_msg", r.path);
    EXPECT_EQ("HTTP/1.0", r.version);
    EXPECT_EQ("ko", r.header("accept-language"));
    EXPECT_EQ("application/x-www-form-urlencoded", r.header("Content-Type"));
    EXPECT_EQ("room_id=7&msg=a%20b%26c&raw=%00%EA%B0&plus=a+b&empty=&bare", r.body);
    EXPECT_EQ("7", r.field("room_id"));
    EXPECT_EQ("a b&c", r.field("msg"));
    EXPECT_EQ(std::string("\x00\xEA\xB0", 3), r.field("raw"));
    EXPECT_EQ("a+b", r.field("plus")) << "a plus the daemon failed to encode stays visible";
    EXPECT_TRUE(r.hasField("empty"));
    EXPECT_TRUE(r.hasField("bare"));
    EXPECT_FALSE(r.hasField("missing"));
    ASSERT_EQ(6u, r.form.size());
    EXPECT_EQ("raw", r.form[2].first) << "fields keep their order";
}

TEST_F(FakeWasTest, CannedReplyIsGivenOnlyToItsPage) {
    const std::string xml = "<rooms><room a='1'/></rooms>";
    m_was.setReply("/was/load_room", FakeWas::Reply{200, FakeWas::resultHeader(0) + xml, true});
    m_was.setDefaultReply(FakeWas::Reply{500, FakeWas::resultHeader(7, "boom"), true});
    EXPECT_EQ(FakeWas::resultHeader(0) + xml, bodyOf(post("/was/load_room", "room_id=1")));
    const std::string other = post("/was/save_msg", "x=1");
    EXPECT_EQ(0u, other.rfind("HTTP/1.0 500 ", 0)) << other;
    EXPECT_EQ(std::string("\xFE\x07\x00\x04", 4) + "boom", bodyOf(other));
}

TEST_F(FakeWasTest, SilentPageRecordsTheRequestAndNeverAnswers) {
    m_was.neverAnswer("/was/not_endroom");
    WasConnection c(m_was.port());
    c.send(postHead("/was/not_endroom", 5) + "a=b&c");
    ASSERT_TRUE(m_was.waitForRequests(1));
    EXPECT_EQ("", c.readAll(200));
    EXPECT_FALSE(c.closed()) << "the connection stays open, as a hung WAS would keep it";
}

TEST_F(FakeWasTest, RequestInPiecesIsRecordedOnce) {
    WasConnection c(m_was.port());
    const std::string form = "room_id=42&tenant_id=example.com";
    const std::string head = postHead("/was/endroom", form.size());
    c.send(head.substr(0, 7));
    c.send(head.substr(7));
    c.send(form.substr(0, 5));
    c.send(form.substr(5));
    EXPECT_FALSE(bodyOf(c.readAll()).empty());
    ASSERT_EQ(1u, m_was.requestCount());
    EXPECT_EQ("example.com", m_was.requestsTo("/was/endroom").at(0).field("tenant_id"));
}

}  // namespace
