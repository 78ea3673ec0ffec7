// What only the poll poller does: a dense array whose last entry fills the
// hole a deletion leaves.

#include "poller/Poller_poll.h"

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

class PollPollerTest : public testing::Test, public pollertest::PollerFixture {
protected:
    PollPollerTest() : PollerFixture("poll") {}
    void SetUp() override { ASSERT_TRUE(ready()); }
};

// The last entry is visited first; deleting the first entry during the
// dispatch moves it into a slot the scan has yet to reach. It is not
// delivered twice, and its mask and client stay its own.
TEST_F(PollPollerTest, EntryMovedIntoAHoleKeepsItsClientAndMask) {
    auto [first, firstClient] = readyReader();
    auto [middle, middleClient] = readyReader();
    auto [last, lastClient] = readyReader();
    const int firstFd = first->readEnd();
    lastClient->onEvent = [this, firstFd](const Poller::PollEvent&) {
        EXPECT_EQ(0, poller().del(firstFd));
        return 0;
    };
    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(1u, lastClient->count());
    EXPECT_EQ(last->readEnd(), lastClient->events[0].fd);
    EXPECT_EQ(1u, middleClient->count());
    EXPECT_EQ(0u, firstClient->count());

    ASSERT_EQ(0, poller().setMask(last->readEnd(), 0));
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(1u, lastClient->count());
    EXPECT_EQ(2u, middleClient->count());
}

}  // namespace
