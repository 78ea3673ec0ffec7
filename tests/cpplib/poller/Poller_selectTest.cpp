// What only the select poller does: the 0..1023 range, EALREADY for a taken
// or empty slot, ascending delivery.

#include "poller/Poller_select.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

class SelectPollerTest : public testing::Test, public pollertest::PollerFixture {
protected:
    SelectPollerTest() : PollerFixture("select") {}
    void SetUp() override { ASSERT_TRUE(ready()); }
};

TEST_F(SelectPollerTest, DescriptorsOutsideTheSetAreInvalid) {
    pollertest::RecordingClient& client = newClient();
    EXPECT_EQ(EINVAL, poller().add(Poller_select::kMaxFd, &client, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().add(-1, &client, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().setMask(Poller_select::kMaxFd, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().orMask(-1, Poller::EV_READ));
    EXPECT_EQ(EINVAL, poller().del(Poller_select::kMaxFd));
}

TEST_F(SelectPollerTest, TakenSlotIsAlreadyAndEmptySlotToo) {
    pollertest::Pipe& p = newPipe();
    pollertest::RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(p.readEnd(), &client, Poller::EV_READ));
    EXPECT_EQ(EALREADY, poller().add(p.readEnd(), &client, Poller::EV_READ));
    EXPECT_EQ(0, poller().del(p.readEnd()));
    EXPECT_EQ(EALREADY, poller().del(p.readEnd()));
    EXPECT_EQ(0, poller().add(p.readEnd(), &client, Poller::EV_READ));
}

TEST_F(SelectPollerTest, ReadyDescriptorsArriveInAscendingOrder) {
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        auto [pipe, client] = readyReader();
        client->onEvent = [&order](const Poller::PollEvent& ev) {
            order.push_back(ev.fd);
            return 0;
        };
    }
    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(5u, order.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

}  // namespace
