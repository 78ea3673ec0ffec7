// Who takes part in a run, and the message text that carries its send time.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "bench/BenchRoster.h"
#include "bench/LoadRunner.h"
#include "client/Protocol.h"

namespace {

class BenchRosterTest : public ::testing::Test {
protected:
    std::vector<bench::room_plan_t> plan(int rooms, int members, int senders = 0, double mobileShare = 0) {
        bench::bench_options_t o;
        o.rooms = rooms;
        o.members = members;
        o.senders = senders;
        o.mobileShare = mobileShare;
        return bench::planRoster(o, "t1", 500);
    }

    static int countSenders(const bench::room_plan_t& room) {
        int n = 0;
        for (const auto& m : room.members) n += m.sender ? 1 : 0;
        return n;
    }

    static int countMobiles(const bench::room_plan_t& room) {
        int n = 0;
        for (const auto& m : room.members) n += m.osType == client::OS_TYPE_MOBILE ? 1 : 0;
        return n;
    }
};

TEST_F(BenchRosterTest, RoomsAreNumberedFromTheBaseWithDistinctUsers) {
    const auto rooms = plan(3, 4);
    ASSERT_EQ(3u, rooms.size());
    std::set<std::string> ids;
    for (size_t r = 0; r < rooms.size(); ++r) {
        EXPECT_EQ(500u + r, rooms[r].roomId);
        ASSERT_EQ(4u, rooms[r].members.size());
        for (const auto& m : rooms[r].members) {
            ids.insert(m.userId);
            EXPECT_LE(m.userId.size(), client::kMaxIdLen);
            EXPECT_EQ(0u, m.userId.rfind("t1", 0)) << m.userId;
        }
    }
    EXPECT_EQ(12u, ids.size());
}

TEST_F(BenchRosterTest, DefaultSenderIsEachRoomsCreator) {
    for (const auto& room : plan(3, 4)) {
        EXPECT_TRUE(room.members[0].sender);
        EXPECT_EQ(1, countSenders(room));
    }
}

TEST_F(BenchRosterTest, ExtraSendersGoRoundRobinOverTheRooms) {
    const auto rooms = plan(2, 4, 5);
    EXPECT_EQ(3, countSenders(rooms[0]));
    EXPECT_EQ(2, countSenders(rooms[1]));
    EXPECT_TRUE(rooms[0].members[2].sender);
    EXPECT_FALSE(rooms[1].members[2].sender);
}

TEST_F(BenchRosterTest, StalledReceiversComeFromTheEndOfEachRoomAndNeverSend) {
    bench::bench_options_t o;
    o.rooms = 2;
    o.members = 3;
    o.senders = 4;
    o.stallReceivers = 2;
    const auto rooms = bench::planRoster(o, "t1", 500);
    for (const auto& room : rooms) {
        EXPECT_TRUE(room.members[2].stalled);
        EXPECT_FALSE(room.members[2].sender);
        EXPECT_FALSE(room.members[1].stalled);
    }
}

TEST_F(BenchRosterTest, MobileShareTakesTheLastInviteesAndNeverTheCreator) {
    const auto half = plan(1, 11, 0, 0.5)[0];
    EXPECT_EQ(5, countMobiles(half));
    EXPECT_EQ(client::OS_TYPE_MOBILE, half.members[10].osType);
    EXPECT_EQ(client::OS_TYPE_PC, half.members[5].osType);
    const auto all = plan(1, 3, 0, 1.0)[0];
    EXPECT_EQ(2, countMobiles(all));
    EXPECT_EQ(client::OS_TYPE_PC, all.members[0].osType);
}

TEST_F(BenchRosterTest, IdleRoomsFollowTheLoadRoomsWithSilentMembersOfTheirOwn) {
    bench::bench_options_t o;
    o.rooms = 3;
    o.members = 4;
    o.idle = 2 * bench::kIdleRoomSize + 1;
    const auto load = bench::planRoster(o, "t1", 500);
    const auto idle = bench::planIdleRoster(o, "t1", 500);
    ASSERT_EQ(3u, idle.size());
    EXPECT_EQ(503u, idle[0].roomId);
    EXPECT_EQ(505u, idle[2].roomId);
    EXPECT_EQ(static_cast<size_t>(bench::kIdleRoomSize), idle[0].members.size());
    EXPECT_EQ(1u, idle[2].members.size());
    std::set<std::string> ids;
    for (const auto& room : load)
        for (const auto& m : room.members) ids.insert(m.userId);
    for (const auto& room : idle) {
        EXPECT_EQ(0, countSenders(room));
        EXPECT_EQ(0, countMobiles(room));
        for (const auto& m : room.members) {
            EXPECT_LE(m.userId.size(), client::kMaxIdLen);
            ids.insert(m.userId);
        }
    }
    EXPECT_EQ(12u + 2 * bench::kIdleRoomSize + 1, ids.size());
    o.idle = 0;
    EXPECT_TRUE(bench::planIdleRoster(o, "t1", 500).empty());
}

TEST(MessageTextTest, SendTimeSurvivesTheRoundTripAtAnySize) {
    for (size_t size : {24u, 64u, 8192u}) {
        const std::string text = bench::LoadRunner::messageText(0x0123456789abcdefULL, size);
        EXPECT_EQ(size, text.size());
        uint64_t back = 0;
        ASSERT_TRUE(bench::LoadRunner::parseMessageText(text, &back));
        EXPECT_EQ(0x0123456789abcdefULL, back);
    }
}

TEST(MessageTextTest, ForeignTextIsNotTakenForASendTime) {
    uint64_t back = 0;
    EXPECT_FALSE(bench::LoadRunner::parseMessageText("hello", &back));
    EXPECT_FALSE(bench::LoadRunner::parseMessageText("0123456789ABCDEF and more", &back));
}

}  // namespace
