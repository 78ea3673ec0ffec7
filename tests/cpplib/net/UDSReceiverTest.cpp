#include "net/UDSReceiver.h"

#include <gtest/gtest.h>

#include <vector>

#include "SocketHelpers.h"
#include "cpputil/SockUtil.h"
#include "support/LoopDriver.h"

namespace {

class RecordingReceiver : public UDSReceiver {
public:
    void acceptEvent(int fd, sockaddr_in* from) override {
        accepted.emplace_back(fd);
        peers.push_back(*from);
    }
    void errorEvent() override {
        ++errors;
        UDSReceiver::errorEvent();
    }
    std::vector<UniqueFd> accepted;
    std::vector<sockaddr_in> peers;
    int errors = 0;
};

class UDSReceiverTest : public LoopParamFixture {
protected:
    void SetUp() override {
        LoopParamFixture::SetUp();
        auto [mine, sender] = streamPair();
        m_sender = std::move(sender);
        m_receiver.setSocket(mine.release());
        ASSERT_EQ(0, m_receiver.init());
    }

    // Passes fd over the channel as another process would.
    void passDescriptor(int fd) { ASSERT_EQ(1, write_fd(m_sender.get(), "x", 1, fd)); }

    RecordingReceiver m_receiver;
    UniqueFd m_sender;
};

TEST_P(UDSReceiverTest, PassedDescriptorArrivesWithItsPeerAddress) {
    UniqueFd server = boundTcpSocket(/*listening=*/true);
    UniqueFd client = connectLoopback(localPort(server.get()));
    UniqueFd accepted(::accept(server.get(), nullptr, nullptr));
    passDescriptor(accepted.get());

    ASSERT_TRUE(runUntil([&] { return m_receiver.accepted.size() == 1; }));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), m_receiver.peers[0].sin_addr.s_addr);
    EXPECT_EQ(localPort(client.get()), ntohs(m_receiver.peers[0].sin_port));
}

TEST_P(UDSReceiverTest, MessageWithoutDescriptorIsSkipped) {
    ASSERT_EQ(1, write_fd(m_sender.get(), "x", 1, -1));
    auto [a, b] = streamPair();
    passDescriptor(a.get());

    ASSERT_TRUE(runUntil([&] { return m_receiver.accepted.size() == 1; }));
    EXPECT_EQ(0, m_receiver.errors);
    // A passed UNIX socket has no IPv4 peer.
    EXPECT_EQ(0u, m_receiver.peers[0].sin_addr.s_addr);
    EXPECT_EQ(0, m_receiver.peers[0].sin_port);
}

TEST_P(UDSReceiverTest, PeerCloseReportsErrorExactlyOnce) {
    m_sender.reset();
    ASSERT_TRUE(runUntil([&] { return m_receiver.errors == 1; }));
    runUntil([] { return false; }, 50);
    EXPECT_EQ(1, m_receiver.errors);
    EXPECT_EQ(-1, m_receiver.getSockfd());
}

INSTANTIATE_TEST_SUITE_P(AllPollers, UDSReceiverTest, ::testing::ValuesIn(kPollerNames), pollerTestName);

}  // namespace
