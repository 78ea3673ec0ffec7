// What only the poll poller does: a dense array whose last entry fills the
// hole a deletion leaves, ENOENT for unregistered descriptors, kernel revents.

#include "poller/Poller_poll.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

class PollPollerTest : public testing::Test, public pollertest::PollerFixture {
protected:
    PollPollerTest() : PollerFixture("poll") {}
    void SetUp() override { ASSERT_TRUE(ready()); }
};

TEST_F(PollPollerTest, EntryMovedIntoAHoleStillReachesItsClient) {
    auto [first, firstClient] = readyReader();
    auto [middle, middleClient] = readyReader();
    auto [last, lastClient] = readyReader();
    ASSERT_EQ(0, poller().del(first->readEnd()));  // the last entry moves into slot 0

    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(1u, lastClient->count());
    EXPECT_EQ(last->readEnd(), lastClient->events()[0].fd);
    EXPECT_EQ(1u, middleClient->count());
    EXPECT_EQ(0u, firstClient->count());

    // Its mask is still its own: silencing it leaves the middle one heard.
    ASSERT_EQ(0, poller().setMask(last->readEnd(), 0));
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(1u, lastClient->count());
    EXPECT_EQ(2u, middleClient->count());
    EXPECT_EQ(0, poller().del(last->readEnd()));
    EXPECT_EQ(0, poller().del(middle->readEnd()));
}

TEST_F(PollPollerTest, EntryMovedDuringDispatchIsNotDeliveredTwice) {
    auto [first, firstClient] = readyReader();
    auto [middle, middleClient] = readyReader();
    auto [last, lastClient] = readyReader();
    // The last entry is visited first; deleting the first entry moves it
    // into a slot the scan has yet to reach.
    const int firstFd = first->readEnd();
    lastClient->onEvent = [this, firstFd](const Poller::PollEvent&) {
        EXPECT_EQ(0, poller().del(firstFd));
        return 0;
    };
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(1u, lastClient->count());
    EXPECT_EQ(1u, middleClient->count());
    EXPECT_EQ(0u, firstClient->count());
}

TEST_F(PollPollerTest, UnregisteredDescriptorsAreRefusedWithoutTouchingTables) {
    pollertest::RecordingClient& client = newClient();
    EXPECT_EQ(ENOENT, poller().orMask(100000, Poller::EV_READ));
    EXPECT_EQ(ENOENT, poller().andMask(100000, ~Poller::EV_WRITE));
    EXPECT_EQ(ENOENT, poller().setMask(100000, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().orMask(-1, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().add(-1, &client, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().del(100000));
    EXPECT_EQ(EINVAL, poller().del(-1));
}

TEST_F(PollPollerTest, HangUpIsReportedAsTheKernelGivesIt) {
    pollertest::Pipe& p = newPipe();
    pollertest::RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(p.readEnd(), &client, Poller::EV_READ));
    p.hangUp();
    ASSERT_TRUE(runUntil([&] { return client.count() > 0; }));
    EXPECT_TRUE(client.events()[0].revents & Poller::EV_HANGUP);
    EXPECT_EQ(0, poller().del(p.readEnd()));
}

}  // namespace
