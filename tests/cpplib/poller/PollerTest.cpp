// Behaviour shared by the three pollers, run against each of them.

#include "poller/Poller.h"

#include <cerrno>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

using pollertest::PollerFixture;
using pollertest::RecordingClient;
using pollertest::SocketPair;

struct PollerKind {
    const char* name;
    int notRegistered;  // errno of a mask change on an unregistered descriptor
};

void PrintTo(const PollerKind& kind, std::ostream* os) {
    *os << kind.name;
}

class PollerTest : public testing::TestWithParam<PollerKind>, public PollerFixture {
protected:
    PollerTest() : PollerFixture(GetParam().name) {}

    void SetUp() override { ASSERT_TRUE(ready()) << GetParam().name; }
};

TEST_P(PollerTest, ReadableDescriptorIsDispatchedToItsClient) {
    auto [pipe, client] = readyReader();
    ASSERT_TRUE(runUntil([&] { return client->count() > 0; }));
    EXPECT_EQ(pipe->readEnd(), client->events()[0].fd);
    EXPECT_EQ(client, client->events()[0].client);
    EXPECT_TRUE(client->events()[0].revents & Poller::EV_READ);
}

TEST_P(PollerTest, WritableInterestReportsWriteBitOnly) {
    SocketPair sockets;
    RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(sockets.local(), &client, Poller::EV_WRITE));
    ASSERT_TRUE(runUntil([&] { return client.count() > 0; }));
    EXPECT_EQ(Poller::EV_WRITE, client.events()[0].revents);
    EXPECT_EQ(0, poller().del(sockets.local()));
}

TEST_P(PollerTest, TimedOutWaitReturnsEagainAndDispatchesNothing) {
    pollertest::Pipe& quiet = newPipe();
    RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(quiet.readEnd(), &client, Poller::EV_READ));
    EXPECT_EQ(EAGAIN, idleWait());
    EXPECT_EQ(0u, client.count());
}

TEST_P(PollerTest, ClientReturningNonZeroIsDeregistered) {
    auto [pipe, client] = readyReader();
    client->onEvent = [](const Poller::PollEvent&) { return 1; };
    ASSERT_TRUE(runUntil([&] { return client->count() > 0; }));

    // The byte is still unread: were the descriptor registered, it would fire.
    EXPECT_EQ(EAGAIN, idleWait());
    EXPECT_EQ(1u, client->count());
    EXPECT_NE(0, poller().del(pipe->readEnd()));
}

TEST_P(PollerTest, DescriptorDeletedDuringDispatchIsNotDeliveredLater) {
    std::vector<std::pair<pollertest::Pipe*, RecordingClient*>> readers;
    for (int i = 0; i < 3; ++i) readers.push_back(readyReader());
    int victim = -1;
    auto deleteAnother = [&](const Poller::PollEvent& ev) {
        if (victim < 0) {
            victim = ev.fd == readers[0].first->readEnd() ? readers[1].first->readEnd()
                                                          : readers[0].first->readEnd();
            EXPECT_EQ(0, poller().del(victim));
        }
        return 0;
    };
    for (auto& r : readers) r.second->onEvent = deleteAnother;

    ASSERT_EQ(0, dispatchReady());
    size_t total = 0;
    for (auto& [pipe, client] : readers) {
        total += client->count();
        if (pipe->readEnd() == victim) {
            EXPECT_EQ(0u, client->count());
        } else {
            EXPECT_EQ(1u, client->count()) << "fd " << pipe->readEnd();
            for (const auto& ev : client->events()) EXPECT_EQ(pipe->readEnd(), ev.fd);
        }
    }
    EXPECT_EQ(2u, total);
}

TEST_P(PollerTest, ClientDeletingItselfDuringDispatchIsDeliveredOnce) {
    auto [first, a] = readyReader();
    auto [second, b] = readyReader();
    auto deleteSelf = [this](const Poller::PollEvent& ev) {
        EXPECT_EQ(0, poller().del(ev.fd));
        return 0;
    };
    a->onEvent = deleteSelf;
    b->onEvent = deleteSelf;
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(1u, a->count());
    EXPECT_EQ(1u, b->count());
    EXPECT_EQ(EAGAIN, idleWait());
}

TEST_P(PollerTest, TablesGrowPastTheirInitialSize) {
    constexpr size_t kPipes = 100;
    std::vector<RecordingClient*> clients;
    for (size_t i = 0; i < kPipes; ++i) clients.push_back(readyReader().second);
    auto allHeard = [&] {
        for (auto* c : clients)
            if (c->count() == 0) return false;
        return true;
    };
    ASSERT_TRUE(runUntil(allHeard));
}

TEST_P(PollerTest, MaskChangesStartAndStopDelivery) {
    auto [pipe, client] = readyReader();
    ASSERT_EQ(0, poller().setMask(pipe->readEnd(), 0));
    EXPECT_EQ(EAGAIN, idleWait());
    EXPECT_EQ(0u, client->count());

    ASSERT_EQ(0, poller().orMask(pipe->readEnd(), Poller::EV_READ));
    ASSERT_TRUE(runUntil([&] { return client->count() > 0; }));

    ASSERT_EQ(0, poller().andMask(pipe->readEnd(), ~Poller::EV_READ));
    const size_t heard = client->count();
    EXPECT_EQ(EAGAIN, idleWait());
    EXPECT_EQ(heard, client->count());
}

TEST_P(PollerTest, OrAndAndMaskCombineWithTheCurrentMaskInOneEvent) {
    SocketPair sockets;
    ASSERT_EQ(1, ::write(sockets.peer(), "x", 1));
    RecordingClient& client = newClient();
    ASSERT_EQ(0, poller().add(sockets.local(), &client, Poller::EV_READ));
    ASSERT_EQ(0, poller().orMask(sockets.local(), Poller::EV_WRITE));
    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(1u, client.count());
    EXPECT_EQ(Poller::EV_READ | Poller::EV_WRITE, client.events()[0].revents);

    ASSERT_EQ(0, poller().andMask(sockets.local(), ~Poller::EV_READ));
    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(2u, client.count());
    EXPECT_EQ(Poller::EV_WRITE, client.events()[1].revents);
    EXPECT_EQ(0, poller().del(sockets.local()));
}

TEST_P(PollerTest, MaskChangesOnUnregisteredDescriptorFail) {
    pollertest::Pipe& p = newPipe();
    const int expected = GetParam().notRegistered;
    EXPECT_EQ(expected, poller().setMask(p.readEnd(), Poller::EV_READ));
    EXPECT_EQ(expected, poller().orMask(p.readEnd(), Poller::EV_READ));
    EXPECT_EQ(expected, poller().andMask(p.readEnd(), ~Poller::EV_WRITE));
    // Far beyond any table the poller holds.
    EXPECT_NE(0, poller().orMask(1000, Poller::EV_READ));
    EXPECT_NE(0, poller().andMask(1000, ~Poller::EV_WRITE));
    EXPECT_NE(0, poller().del(p.readEnd()));
}

TEST_P(PollerTest, WakeUpFromAnotherThreadEndsAnUnlimitedWait) {
    ASSERT_EQ(0, poller().initWakeUpPipe());
    std::thread waker([this] { EXPECT_EQ(0, poller().wakeUp()); });
    // A negative timeout waits without limit; only the pipe can end it.
    const int err = poller().waitAndDispatchEvents(-1);
    waker.join();
    EXPECT_EQ(0, err);
    // The wake-up client drained the pipe, so the next wait finds nothing.
    EXPECT_EQ(EAGAIN, idleWait());
}

TEST_P(PollerTest, WakeUpOnFullPipeStillSucceedsAndIsDrained) {
    ASSERT_EQ(0, poller().initWakeUpPipe());
    // Well past the 64 KiB a pipe holds by default.
    for (int i = 0; i < 70000; ++i) ASSERT_EQ(0, poller().wakeUp()) << "write " << i;
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(EAGAIN, idleWait());
}

TEST_P(PollerTest, WakeUpKeepsErrno) {
    ASSERT_EQ(0, poller().initWakeUpPipe());
    errno = EINTR;
    EXPECT_EQ(0, poller().wakeUp());
    EXPECT_EQ(EINTR, errno);
}

TEST_P(PollerTest, WakeUpWorksOnlyWhileThePipeExists) {
    EXPECT_NE(0, poller().wakeUp());
    ASSERT_EQ(0, poller().initWakeUpPipe());
    EXPECT_TRUE(poller().hasWakeUpPipe());
    poller().shutdown();
    EXPECT_FALSE(poller().hasWakeUpPipe());
    EXPECT_NE(0, poller().wakeUp());
}

INSTANTIATE_TEST_SUITE_P(AllPollers, PollerTest,
                         testing::Values(PollerKind{"select", EALREADY}, PollerKind{"poll", ENOENT},
                                         PollerKind{"epoll", EINVAL}),
                         [](const testing::TestParamInfo<PollerKind>& info) {
                             return std::string(info.param.name);
                         });

TEST(CreatePollerTest, UnknownNamesYieldNull) {
    EXPECT_EQ(nullptr, createPoller(nullptr));
    EXPECT_EQ(nullptr, createPoller(""));
    EXPECT_EQ(nullptr, createPoller("kqueue"));
}

}  // namespace
