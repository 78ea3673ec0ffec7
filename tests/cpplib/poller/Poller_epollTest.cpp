// What only the epoll poller does: EINVAL for every refusal, a table that
// grows past 4096 descriptors, kernel event bits.

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

TEST_F(EpollPollerTest, SecondAddOfADescriptorIsInvalid) {
    pollertest::Pipe& p = newPipe();
    pollertest::RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(p.readEnd(), &client, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().add(p.readEnd(), &client, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().add(-1, &client, Poller::EV_READ));
    EXPECT_EQ(0, poller().del(p.readEnd()));
    EXPECT_EQ(EINVAL, poller().del(p.readEnd()));
}

TEST_F(EpollPollerTest, DescriptorTheKernelRefusesLeavesNoEntry) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
    ASSERT_NE(nullptr, file);
    const int fd = ::fileno(file.get());
    pollertest::RecordingClient& client = newClient();
    EXPECT_EQ(EINVAL, poller().add(fd, &client, Poller::EV_READ));  // regular files cannot be polled
    EXPECT_EQ(EINVAL, poller().setMask(fd, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().del(fd));
}

TEST_F(EpollPollerTest, DescriptorBeyondTheInitialTableIsServed) {
    rlimit lim{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &lim));
    const int wanted = Poller_epoll::kInitialEntries + 100;
    if (lim.rlim_cur <= static_cast<rlim_t>(wanted)) GTEST_SKIP() << "descriptor limit too low";

    pollertest::Pipe& p = newPipe();
    pollertest::Fd high(::fcntl(p.readEnd(), F_DUPFD_CLOEXEC, wanted));
    ASSERT_GE(high.get(), wanted);
    pollertest::RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(high.get(), &client, Poller::EV_READ));
    ASSERT_TRUE(p.makeReadable());
    ASSERT_TRUE(runUntil([&] { return client.count() > 0; }));
    EXPECT_EQ(high.get(), client.events()[0].fd);
    EXPECT_EQ(0, poller().del(high.get()));
}

TEST_F(EpollPollerTest, HangUpIsReportedAsTheKernelGivesIt) {
    pollertest::Pipe& p = newPipe();
    pollertest::RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(p.readEnd(), &client, Poller::EV_READ));
    p.hangUp();
    ASSERT_TRUE(runUntil([&] { return client.count() > 0; }));
    EXPECT_TRUE(client.events()[0].revents & Poller::EV_HANGUP);
    EXPECT_EQ(0, poller().del(p.readEnd()));
}

}  // namespace

