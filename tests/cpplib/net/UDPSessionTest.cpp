#include "net/UDPSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SocketHelpers.h"
#include "support/LoopDriver.h"

namespace {

class RecordingUDPSession : public UDPSession {
public:
    RecordingUDPSession(std::vector<std::string>* log, bool* destroyed) : m_log(log), m_destroyed(destroyed) {}
    ~RecordingUDPSession() override { *m_destroyed = true; }
    void recvFromEvent(const char* data, int len, sockaddr_in*) override {
        m_log->emplace_back(data, static_cast<size_t>(len));
    }

private:
    std::vector<std::string>* m_log;
    bool* m_destroyed;
};

class UDPSessionTest : public LoopFixture {
protected:
    // An echo peer: a plain datagram socket on 127.0.0.1.
    void SetUp() override {
        LoopFixture::SetUp();
        m_peer.reset(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in sa = loopbackAddress(0);
        ASSERT_EQ(0, ::bind(m_peer.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
        m_session = new RecordingUDPSession(&m_received, &m_destroyed);
    }
    void TearDown() override {
        if (!m_destroyed) m_session->destroy();
        LoopFixture::TearDown();
    }

    // Receives one datagram at the peer and sends the reply back to its sender.
    void peerAnswers(const std::string& reply) {
        char buf[256];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = -1;
        ASSERT_TRUE(runUntil([&] {
            n = ::recvfrom(m_peer.get(), buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
            return n >= 0;
        }));
        m_request.assign(buf, static_cast<size_t>(n));
        ::sendto(m_peer.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }

    UniqueFd m_peer;
    RecordingUDPSession* m_session = nullptr;
    std::vector<std::string> m_received;
    std::string m_request;
    bool m_destroyed = false;
};

TEST_F(UDPSessionTest, FirstSendOpensTheSocketAndTheReplyComesBack) {
    EXPECT_EQ(-1, m_session->getSockfd());
    sockaddr_in to = loopbackAddress(localPort(m_peer.get()));
    ASSERT_EQ(5, m_session->sendto("query", 5, 0, &to));
    EXPECT_GE(m_session->getSockfd(), 0);

    peerAnswers("answer");
    EXPECT_EQ("query", m_request);
    ASSERT_TRUE(runUntil([&] { return m_received.size() == 1; }));
    EXPECT_EQ("answer", m_received[0]);
}

TEST_F(UDPSessionTest, ClearClosesTheSocket) {
    sockaddr_in to = loopbackAddress(localPort(m_peer.get()));
    ASSERT_EQ(1, m_session->sendto("q", 1, 0, &to));
    const int fd = m_session->getSockfd();
    m_session->clear();
    EXPECT_EQ(-1, m_session->getSockfd());
    EXPECT_FALSE(isOpen(fd));
}

}  // namespace
