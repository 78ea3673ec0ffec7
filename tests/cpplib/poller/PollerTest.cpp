// Behaviour shared by the three pollers, run against each of them.

#include "poller/Poller.h"

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "PollerFixture.h"

namespace {

using pollertest::FdPair;
using pollertest::PollerFixture;
using pollertest::RecordingClient;

struct PollerKind {
    const char* name;
    int notRegistered;  // errno of a mask change on an unregistered descriptor
    short hangUp;       // the bits a pipe whose writer closed is reported with
};

void PrintTo(const PollerKind& kind, std::ostream* os) {
    *os << kind.name;
}

class PollerTest : public testing::TestWithParam<PollerKind>, public PollerFixture {
protected:
    PollerTest() : PollerFixture(GetParam().name) {}

    void SetUp() override { ASSERT_TRUE(ready()) << GetParam().name; }
};

TEST_P(PollerTest, ReadyDescriptorsAreDispatchedToTheirClients) {
    auto [pipe, client] = readyReader();
    FdPair& closed = newPair();
    RecordingClient& hungUp = watch(closed.readEnd(), Poller::EV_READ);
    closed.hangUp();
    ASSERT_TRUE(runUntil([&] { return client->count() > 0 && hungUp.count() > 0; }));
    EXPECT_EQ(pipe->readEnd(), client->events[0].fd);
    EXPECT_EQ(client, client->events[0].client);
    EXPECT_TRUE(client->events[0].revents & Poller::EV_READ);
    EXPECT_TRUE(hungUp.events[0].revents & GetParam().hangUp);
}

// A client may delete itself or another descriptor, or return non-zero to be
// deregistered; none is delivered again, though their bytes stay unread.
TEST_P(PollerTest, ClientsDeregisteredDuringDispatchAreNotDeliveredAgain) {
    std::vector<std::pair<FdPair*, RecordingClient*>> readers;
    for (int i = 0; i < 3; ++i) readers.push_back(readyReader());
    int victim = -1;
    auto onEvent = [&](const Poller::PollEvent& ev) {
        if (victim >= 0) return 1;
        victim = ev.fd == readers[0].first->readEnd() ? readers[1].first->readEnd() : readers[0].first->readEnd();
        EXPECT_EQ(0, poller().del(victim));
        EXPECT_EQ(0, poller().del(ev.fd));
        return 0;
    };
    for (auto& r : readers) r.second->onEvent = onEvent;
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(EAGAIN, idleWait());
    for (auto& [pipe, client] : readers) {
        const int fd = pipe->readEnd();
        EXPECT_EQ(fd == victim ? 0u : 1u, client->count()) << "fd " << fd;
        for (const auto& ev : client->events) EXPECT_EQ(fd, ev.fd);
        EXPECT_NE(0, poller().del(fd));
    }
}

TEST_P(PollerTest, TablesGrowPastTheirInitialSize) {
    std::vector<RecordingClient*> clients;
    for (int i = 0; i < 100; ++i) clients.push_back(readyReader().second);
    ASSERT_TRUE(runUntil([&] {
        return std::all_of(clients.begin(), clients.end(), [](RecordingClient* c) { return c->count() > 0; });
    }));
}

TEST_P(PollerTest, MaskChangesCombineWithTheCurrentMask) {
    FdPair& sockets = newPair(/*sockets=*/true);
    ASSERT_TRUE(sockets.makeReadable());
    RecordingClient& client = watch(sockets.readEnd(), Poller::EV_READ);
    ASSERT_EQ(0, poller().setMask(sockets.readEnd(), 0));
    EXPECT_EQ(EAGAIN, idleWait());
    EXPECT_EQ(0u, client.count());

    ASSERT_EQ(0, poller().orMask(sockets.readEnd(), Poller::EV_READ));
    ASSERT_EQ(0, poller().orMask(sockets.readEnd(), Poller::EV_WRITE));
    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(1u, client.count());
    EXPECT_EQ(Poller::EV_READ | Poller::EV_WRITE, client.events[0].revents);

    ASSERT_EQ(0, poller().andMask(sockets.readEnd(), ~Poller::EV_READ));
    ASSERT_EQ(0, dispatchReady());
    ASSERT_EQ(2u, client.count());
    EXPECT_EQ(Poller::EV_WRITE, client.events[1].revents);
    EXPECT_EQ(0, poller().del(sockets.readEnd()));
}

TEST_P(PollerTest, UnregisteredOrInvalidDescriptorsAreRefused) {
    FdPair& p = newPair();
    const int expected = GetParam().notRegistered;
    EXPECT_EQ(expected, poller().setMask(p.readEnd(), Poller::EV_READ));
    EXPECT_EQ(expected, poller().orMask(p.readEnd(), Poller::EV_READ));
    EXPECT_EQ(expected, poller().andMask(p.readEnd(), ~Poller::EV_WRITE));
    EXPECT_NE(0, poller().del(p.readEnd()));
    // Far beyond any table the poller holds, or negative.
    EXPECT_NE(0, poller().orMask(100000, Poller::EV_READ));
    EXPECT_NE(0, poller().andMask(100000, ~Poller::EV_WRITE));
    EXPECT_NE(0, poller().del(100000));
    RecordingClient client;
    EXPECT_EQ(EINVAL, poller().add(-1, &client, Poller::EV_READ));
    EXPECT_NE(0, poller().orMask(-1, Poller::EV_READ));
}

// A second client for one descriptor must not stay behind its del(): the
// first client may be gone by the time the descriptor turns ready.
TEST_P(PollerTest, SecondAddOfARegisteredDescriptorIsRefused) {
    FdPair& p = newPair();
    RecordingClient first;
    RecordingClient second;
    ASSERT_EQ(0, poller().add(p.readEnd(), &first, Poller::EV_READ));
    EXPECT_NE(0, poller().add(p.readEnd(), &second, Poller::EV_READ));
    ASSERT_EQ(0, poller().del(p.readEnd()));
    EXPECT_NE(0, poller().del(p.readEnd()));
    ASSERT_TRUE(p.makeReadable());
    EXPECT_EQ(EAGAIN, idleWait());
    EXPECT_EQ(0u, first.count() + second.count());
}

TEST_P(PollerTest, WakeUpEndsAnUnlimitedWaitEvenWithAFullPipe) {
    EXPECT_NE(0, poller().wakeUp()) << "woke without a pipe";
    ASSERT_EQ(0, poller().initWakeUpPipe());
    // Well past the 64 KiB a pipe holds; errno is left as it was.
    errno = EINTR;
    for (int i = 0; i < 70000; ++i) ASSERT_EQ(0, poller().wakeUp()) << "write " << i;
    EXPECT_EQ(EINTR, errno);
    ASSERT_EQ(0, dispatchReady());
    EXPECT_EQ(EAGAIN, idleWait()) << "the wake-up client drained the pipe";

    std::thread waker([this] { EXPECT_EQ(0, poller().wakeUp()); });
    // A negative timeout waits without limit; only the pipe can end it.
    EXPECT_EQ(0, poller().waitAndDispatchEvents(-1));
    waker.join();
    poller().shutdown();
    EXPECT_NE(0, poller().wakeUp());
}

INSTANTIATE_TEST_SUITE_P(AllPollers, PollerTest,
                         testing::Values(PollerKind{"select", EALREADY, Poller::EV_READ},
                                         PollerKind{"poll", ENOENT, Poller::EV_HANGUP},
                                         PollerKind{"epoll", EINVAL, Poller::EV_HANGUP}),
                         [](const testing::TestParamInfo<PollerKind>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
