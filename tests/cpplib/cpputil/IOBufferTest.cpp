#include "cpputil/IOBuffer.h"

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
    static void fill(IOBuffer& buf, const std::string& text) {
        ASSERT_EQ(static_cast<int>(text.size()), buf.write(text.data(), static_cast<int>(text.size())));
    }

    // The data between the positions, checking that the byte after it is 0
    // so the data reads as a C string too.
    static std::string contents(const IOBuffer& buf) {
        EXPECT_EQ('\0', buf.getBuf()[buf.getWritePos()]);
        return std::string(buf.data(), static_cast<size_t>(buf.getDataSize()));
    }
};

// Freed space before the data does not count as room: only flush() or
// increase() make it usable.
TEST_F(IOBufferTest, WritesReadsAndDiscardsStopAtTheBounds) {
    IOBuffer buf(6);
    fill(buf, "abcd");
    EXPECT_EQ(3, buf.throwAway(3));
    EXPECT_EQ(2, buf.write("xyz", 3));
    EXPECT_EQ("dxy", contents(buf));
    EXPECT_TRUE(buf.isFull());
    EXPECT_EQ(0, buf.write("e", 1));

    char out[8];
    EXPECT_EQ(2, buf.read(out, 2));
    EXPECT_EQ(1, buf.throwAway(5));
    EXPECT_EQ(0, buf.read(out, 4));
    EXPECT_EQ(0, buf.getDataSize());
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

class IOBufferFlushTest : public IOBufferTest,
                          public testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(IOBufferFlushTest, DataSurvivesCompactionIntact) {
    const auto [consumed, remaining] = GetParam();
    std::string all;
    for (int i = 0; i < consumed + remaining; ++i) all += static_cast<char>('A' + i % 26);
    IOBuffer buf;
    buf.setBufSize(consumed + remaining);
    fill(buf, all);
    ASSERT_EQ(consumed, buf.throwAway(consumed));
    buf.flush();
    EXPECT_EQ(0, buf.getReadPos());
    EXPECT_EQ(remaining, buf.getWritePos());
    EXPECT_EQ(all.substr(static_cast<size_t>(consumed)), contents(buf));
}

INSTANTIATE_TEST_SUITE_P(ReadPositionAgainstDataLength, IOBufferFlushTest,
                         testing::Combine(testing::Values(1, 3, 64),
                                          testing::Values(2, 7, 100)));

// HTTP reply heads are read line by line into a fixed buffer.
TEST_F(IOBufferTest, ReadlineTakesOnlyWholeLinesThatFitTheOutput) {
    IOBuffer buf(64);
    fill(buf, "0123456789\nServer");
    char small[10];
    EXPECT_EQ(-1, buf.readline(small, sizeof small));
    EXPECT_EQ("0123456789\nServer", contents(buf));
    char exact[11];
    ASSERT_EQ(11, buf.readline(exact, sizeof exact));
    EXPECT_EQ("0123456789\n", std::string(exact, 11));
    EXPECT_EQ(0, buf.readline(exact, sizeof exact));  // no whole line left
    EXPECT_EQ("Server", contents(buf));
}

// A full buffer must not look like the peer closing (a 0 result).
TEST_F(IOBufferTest, RecvIsBoundedByTheFreeSpaceAndTellsFullFromClosed) {
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv));
    IOBuffer buf(4);
    ASSERT_EQ(10, ::write(sv[1], "0123456789", 10));
    EXPECT_EQ(4, buf.recvFromSocket(sv[0]));
    EXPECT_EQ("0123", contents(buf));
    EXPECT_EQ(-1, buf.recvFromSocket(sv[0]));
    EXPECT_EQ(ENOBUFS, errno);

    IOBuffer other(16);
    ::close(sv[1]);
    EXPECT_EQ(6, other.recvFromSocket(sv[0]));
    EXPECT_EQ(0, other.recvFromSocket(sv[0]));
    ::close(sv[0]);
}

}  // namespace
