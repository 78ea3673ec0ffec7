#include "cpputil/IOBuffer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace {

class IOBufferTest : public testing::Test {
protected:
    // Appends text; the whole of it is expected to fit.
    void fill(IOBuffer& buf, const std::string& text) {
        ASSERT_EQ(static_cast<int>(text.size()), buf.write(text.data(), static_cast<int>(text.size())));
    }

    // The data between the positions, without consuming it.
    static std::string contents(const IOBuffer& buf) {
        return std::string(buf.data(), static_cast<size_t>(buf.getDataSize()));
    }

    // The byte after the data is 0, so the data reads as a C string too.
    static void expectTerminated(const IOBuffer& buf) {
        ASSERT_NE(nullptr, buf.getBuf());
        EXPECT_EQ('\0', buf.getBuf()[buf.getWritePos()]);
    }

    // Leaves `consumed` bytes read and `remaining` bytes of data in a buffer
    // of exactly consumed + remaining bytes; returns the expected data.
    std::string consumedThenRemaining(IOBuffer& buf, int consumed, int remaining) {
        std::string all;
        for (int i = 0; i < consumed + remaining; ++i) all += static_cast<char>('A' + i % 26);
        buf.setBufSize(consumed + remaining);
        fill(buf, all);
        EXPECT_EQ(consumed, buf.throwAway(consumed));
        return all.substr(static_cast<size_t>(consumed));
    }
};

TEST_F(IOBufferTest, WriteOnFullBufferStoresNothing) {
    IOBuffer buf(4);
    fill(buf, "abcd");
    EXPECT_TRUE(buf.isFull());
    EXPECT_EQ(0, buf.write("e", 1));
    EXPECT_EQ("abcd", contents(buf));
    expectTerminated(buf);
}

TEST_F(IOBufferTest, WriteStoresOnlyWhatFitsAtTheEnd) {
    IOBuffer buf(6);
    fill(buf, "abcd");
    buf.throwAway(3);  // freed space before the data does not count
    EXPECT_EQ(2, buf.write("xyz", 3));
    EXPECT_EQ("dxy", contents(buf));
    EXPECT_EQ(0, buf.write("q", 0));
}

TEST_F(IOBufferTest, IncreaseThenWriteStoresEverything) {
    IOBuffer buf(4);
    fill(buf, "abcd");
    buf.throwAway(1);
    const std::string more = "0123456789";
    buf.increase(static_cast<int>(more.size()));
    EXPECT_EQ(static_cast<int>(more.size()), buf.write(more.data(), static_cast<int>(more.size())));
    EXPECT_EQ("bcd0123456789", contents(buf));
    expectTerminated(buf);
}

// A send backlog that grows by appends while its head drains must not be
// copied on every append: storage changes a logarithmic number of times,
// and the bytes come out in order.
TEST_F(IOBufferTest, GrowingBacklogMovesRarelyAndKeepsOrder) {
    IOBuffer buf(1024);
    std::string expected;
    std::string got;
    int storageChanges = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string piece = std::to_string(i) + std::string(90, 'x') + ';';
        const char* before = buf.getBuf();
        buf.increase(static_cast<int>(piece.size()));
        ASSERT_EQ(static_cast<int>(piece.size()), buf.write(piece.data(), static_cast<int>(piece.size())));
        storageChanges += buf.getBuf() != before ? 1 : 0;
        expected += piece;
        if (i % 4 == 0) {  // the reader takes a little, never all
            const int n = std::min(buf.getDataSize() / 3, 150);
            got.append(buf.data(), static_cast<size_t>(n));
            buf.throwAway(n);
        }
    }
    got.append(buf.data(), static_cast<size_t>(buf.getDataSize()));
    EXPECT_TRUE(got == expected);
    EXPECT_LT(storageChanges, 20);
}

TEST_F(IOBufferTest, FlushOfConsumedBufferResetsBothPositions) {
    IOBuffer buf(8);
    fill(buf, "abcdef");
    buf.throwAway(6);
    buf.flush();
    EXPECT_EQ(0, buf.getReadPos());
    EXPECT_EQ(0, buf.getWritePos());
    expectTerminated(buf);
    EXPECT_FALSE(buf.isFull());
}

class IOBufferFlushTest : public IOBufferTest,
                          public testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(IOBufferFlushTest, DataSurvivesCompactionIntact) {
    const auto [consumed, remaining] = GetParam();
    IOBuffer buf;
    const std::string expected = consumedThenRemaining(buf, consumed, remaining);
    buf.flush();
    EXPECT_EQ(0, buf.getReadPos());
    EXPECT_EQ(remaining, buf.getWritePos());
    EXPECT_EQ(expected, contents(buf));
    expectTerminated(buf);
}

INSTANTIATE_TEST_SUITE_P(ReadPositionAgainstDataLength, IOBufferFlushTest,
                         testing::Combine(testing::Values(1, 3, 64),
                                          testing::Values(2, 7, 100)));

TEST_F(IOBufferTest, ReadlineTakesOneLineWithItsNewline) {
    IOBuffer buf(64);
    fill(buf, "HTTP/1.0 200 OK\r\nServer");
    char out[64];
    ASSERT_EQ(17, buf.readline(out, sizeof out));
    EXPECT_EQ("HTTP/1.0 200 OK\r\n", std::string(out, 17));
    EXPECT_EQ("Server", contents(buf));
    EXPECT_EQ(0, buf.readline(out, sizeof out));  // no whole line left
    EXPECT_EQ("Server", contents(buf));
}

TEST_F(IOBufferTest, ReadlineLongerThanTheOutputConsumesNothing) {
    IOBuffer buf(64);
    fill(buf, "0123456789\nrest");
    char out[10];
    EXPECT_EQ(-1, buf.readline(out, sizeof out));
    EXPECT_EQ("0123456789\nrest", contents(buf));
    char exact[11];
    EXPECT_EQ(11, buf.readline(exact, sizeof exact));
}

TEST_F(IOBufferTest, FindCountsFromTheStartOfTheStorage) {
    IOBuffer buf(32);
    fill(buf, "a:b:c");
    buf.throwAway(2);
    EXPECT_EQ(3, buf.find(':'));
    EXPECT_EQ(-1, buf.find('a'));  // consumed bytes are not data
    EXPECT_EQ(-1, buf.find('\0'));  // nor is the terminator
}

TEST_F(IOBufferTest, ReadAndThrowAwayStopAtTheData) {
    IOBuffer buf(16);
    fill(buf, "abc");
    char out[8];
    EXPECT_EQ(2, buf.read(out, 2));
    EXPECT_EQ(1, buf.throwAway(5));
    EXPECT_EQ(0, buf.read(out, 4));
    EXPECT_EQ(0, buf.getDataSize());
}

TEST_F(IOBufferTest, SetBufSizeStartsEmpty) {
    IOBuffer buf(8);
    fill(buf, "abcdef");
    buf.throwAway(2);
    buf.setBufSize(4);
    EXPECT_EQ(0, buf.getDataSize());
    EXPECT_EQ(4, buf.getBufSize());
    expectTerminated(buf);
    fill(buf, "wxyz");
}

TEST_F(IOBufferTest, ZeroCapacityBufferHoldsNothing) {
    IOBuffer buf;
    EXPECT_EQ(nullptr, buf.getBuf());
    EXPECT_TRUE(buf.isFull());
    EXPECT_EQ(0, buf.write("a", 1));
    EXPECT_STREQ("", buf.data());
    EXPECT_TRUE(buf.flush());
    buf.increase(3);
    fill(buf, "abc");
}

class IOBufferSocketTest : public IOBufferTest {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv));
        m_local = sv[0];
        m_peer = sv[1];
    }
    void TearDown() override {
        if (m_local >= 0) ::close(m_local);
        if (m_peer >= 0) ::close(m_peer);
    }

    void sendFromPeer(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(m_peer, bytes.data(), bytes.size()));
    }
    std::string readAtPeer() {
        char out[256];
        const ssize_t n = ::read(m_peer, out, sizeof out);
        return n > 0 ? std::string(out, static_cast<size_t>(n)) : std::string();
    }

    int m_local = -1;
    int m_peer = -1;
};

TEST_F(IOBufferSocketTest, RecvAppendsWhatArrived) {
    IOBuffer buf(16);
    fill(buf, "<<");
    sendFromPeer("ping");
    EXPECT_EQ(4, buf.recvFromSocket(m_local));
    EXPECT_EQ("<<ping", contents(buf));
    expectTerminated(buf);
}

TEST_F(IOBufferSocketTest, RecvIsBoundedByTheFreeSpace) {
    IOBuffer buf(4);
    sendFromPeer("0123456789");
    EXPECT_EQ(4, buf.recvFromSocket(m_local));
    EXPECT_EQ("0123", contents(buf));
    // A full buffer must not look like the peer closing (a 0 result).
    EXPECT_EQ(-1, buf.recvFromSocket(m_local));
    EXPECT_EQ(ENOBUFS, errno);
}

TEST_F(IOBufferSocketTest, RecvReportsThePeerClosing) {
    IOBuffer buf(8);
    ::close(m_peer);
    m_peer = -1;
    EXPECT_EQ(0, buf.recvFromSocket(m_local));
}

TEST_F(IOBufferSocketTest, SendWritesAndConsumesTheData) {
    IOBuffer buf(16);
    fill(buf, "xxhello");
    buf.throwAway(2);
    EXPECT_EQ(5, buf.sendToSocket(m_local));
    EXPECT_EQ(0, buf.getDataSize());
    EXPECT_EQ("hello", readAtPeer());
    EXPECT_EQ(0, buf.sendToSocket(m_local));  // nothing left to send
}

}  // namespace
