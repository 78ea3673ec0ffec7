// What only the select poller does: descriptors outside 0..kMaxFd-1 would
// write past the fd_set, so they are refused.

#include "poller/Poller_select.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

TEST(SelectPollerTest, DescriptorsOutsideTheSetAreInvalid) {
    pollertest::PollerFixture fixture("select");
    ASSERT_TRUE(fixture.ready());
    Poller& poller = fixture.poller();
    pollertest::RecordingClient client;
    EXPECT_EQ(EINVAL, poller.add(Poller_select::kMaxFd, &client, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller.setMask(Poller_select::kMaxFd, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller.del(Poller_select::kMaxFd));
}

}  // namespace
