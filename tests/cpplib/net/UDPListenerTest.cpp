#include "net/UDPListener.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SocketHelpers.h"
#include "support/LoopDriver.h"

namespace {

struct Datagram {
    std::string bytes;
    char after = 'X';  // the byte just past the datagram in the buffer
};

class RecordingHandler : public UDPListener::EventHandler {
public:
    void recvFromEvent(UDPListener*, char* data, int len, sockaddr_in*) override {
        received.push_back({std::string(data, static_cast<size_t>(len)), data[len]});
    }
    std::vector<Datagram> received;
};

class UDPListenerTest : public LoopFixture {
protected:
    static constexpr int kBufLen = 64;

    void SetUp() override {
        LoopFixture::SetUp();
        // One guard byte past the buflen + 1 the listener may use.
        m_buf.assign(kBufLen + 2, 'X');
        m_listener.set(kBufLen, m_buf.data());
        m_listener.setAddress(loopbackAddress(0));
        m_listener.setHandler(&m_handler);
        ASSERT_EQ(0, m_listener.init());
        m_client.reset(::socket(AF_INET, SOCK_DGRAM, 0));
    }

    void sendDatagram(const std::string& bytes) {
        sockaddr_in to = loopbackAddress(m_listener.port());
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
                  ::sendto(m_client.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    }

    std::vector<char> m_buf;
    RecordingHandler m_handler;
    UDPListener m_listener;
    UniqueFd m_client;
};

TEST_F(UDPListenerTest, DatagramOfExactlyBuflenIsDeliveredWithAZeroAfterIt) {
    sendDatagram(std::string(kBufLen, 'd'));
    ASSERT_TRUE(runUntil([&] { return m_handler.received.size() == 1; }));
    EXPECT_EQ(std::string(kBufLen, 'd'), m_handler.received[0].bytes);
    EXPECT_EQ('\0', m_handler.received[0].after);
}

TEST_F(UDPListenerTest, LongerDatagramIsCutWithoutTouchingBytesPastTheBuffer) {
    sendDatagram(std::string(kBufLen + 20, 'e'));
    ASSERT_TRUE(runUntil([&] { return m_handler.received.size() == 1; }));
    EXPECT_EQ(std::string(kBufLen, 'e'), m_handler.received[0].bytes);
    EXPECT_EQ('X', m_buf[kBufLen + 1]);
}

TEST_F(UDPListenerTest, RepliesReachTheSender) {
    sendDatagram("ping");
    ASSERT_TRUE(runUntil([&] { return m_handler.received.size() == 1; }));
    sockaddr_in back{};
    socklen_t len = sizeof back;
    ::getsockname(m_client.get(), reinterpret_cast<sockaddr*>(&back), &len);
    back.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(4, m_listener.sendto("pong", 4, &back));

    std::string reply;
    EXPECT_TRUE(runUntil([&] { return !(reply += readNow(m_client.get())).empty(); }));
    EXPECT_EQ("pong", reply);
}

}  // namespace
