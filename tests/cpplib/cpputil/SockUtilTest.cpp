#include "cpputil/SockUtil.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// Owns one descriptor for a test.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// Descriptor passing over a UNIX socket pair.
class SocketPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        m_near.reset(sv[0]);
        m_far.reset(sv[1]);
    }

    Fd m_near;
    Fd m_far;
};

TEST_F(SocketPairTest, MessageWithoutDescriptorGivesMinusOne) {
    ASSERT_EQ(1, write(m_far.get(), "z", 1));
    char c = 0;
    int passed = 123;
    EXPECT_EQ(1, read_fd(m_near.get(), &c, 1, &passed));
    EXPECT_EQ('z', c);
    EXPECT_EQ(-1, passed);
}

TEST_F(SocketPairTest, PassedDescriptorWorksOnTheOtherSide) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    Fd pipeRead(pipeFds[0]);
    {
        Fd pipeWrite(pipeFds[1]);
        ASSERT_EQ(1, write_fd(m_far.get(), "f", 1, pipeWrite.get()));
    }  // the sender's copy is closed; only the passed one remains
    char c = 0;
    int passed = -1;
    ASSERT_EQ(1, read_fd(m_near.get(), &c, 1, &passed));
    ASSERT_GE(passed, 0);
    Fd received(passed);
    ASSERT_EQ(4, writen(received.get(), "ping", 4));
    char buf[4];
    EXPECT_EQ(4, readn(pipeRead.get(), buf, 4));
    EXPECT_EQ("ping", std::string(buf, 4));
}

}  // namespace
