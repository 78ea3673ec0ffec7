// What only the epoll poller does: a second add or a descriptor the kernel
// refuses leaves no entry, and the table grows past its initial size.

#include "poller/Poller_epoll.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

class EpollPollerTest : public testing::Test, public pollertest::PollerFixture {
protected:
    EpollPollerTest() : PollerFixture("epoll") {}
    void SetUp() override { ASSERT_TRUE(ready()); }
};

TEST_F(EpollPollerTest, UnpollableDescriptorIsInvalid) {
    pollertest::RecordingClient client;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
    const int fd = ::fileno(file.get());
    EXPECT_EQ(EINVAL, poller().add(fd, &client, Poller::EV_READ));  // regular files cannot be polled
    EXPECT_EQ(EINVAL, poller().setMask(fd, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().del(fd));
}

TEST_F(EpollPollerTest, DescriptorBeyondTheInitialTableIsServed) {
    rlimit lim{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &lim));
    const int wanted = Poller_epoll::kInitialEntries + 100;
    if (lim.rlim_cur <= static_cast<rlim_t>(wanted)) GTEST_SKIP() << "descriptor limit too low";

    pollertest::FdPair& p = newPair();
    const int high = ::fcntl(p.readEnd(), F_DUPFD_CLOEXEC, wanted);
    ASSERT_GE(high, wanted);
    pollertest::RecordingClient& client = watch(high, Poller::EV_READ);
    ASSERT_TRUE(p.makeReadable());
    const bool heard = runUntil([&] { return client.count() > 0; });
    EXPECT_EQ(0, poller().del(high));
    ::close(high);
    ASSERT_TRUE(heard);
    EXPECT_EQ(high, client.events[0].fd);
}

}  // namespace
