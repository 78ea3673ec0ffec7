#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tolvex/util/WasServerTable.h"

namespace {

class WasServerTableTest : public ::testing::Test {
protected:
    void configure(std::vector<std::string> servers) {
        table.setSize(static_cast<int>(servers.size()));
        ASSERT_EQ(1, table.convert2WasInfo(servers.data(), static_cast<int>(servers.size())));
    }
    // Port of the server a fresh job picks first.
    int firstPick() {
        int index = -1;
        return table.getWAS(&index).port;
    }
    WasServerTable table;
};

TEST_F(WasServerTableTest, RetriesMoveToTheNextServerWithoutMovingTheSharedCursor) {
    configure({"h:1000", "h:2000", "h:3000"});
    firstPick();
    firstPick();
    int job = -1;
    EXPECT_EQ(3000, table.getWAS(&job).port);
    EXPECT_EQ(1000, table.getWAS(&job).port);
    EXPECT_EQ(2000, table.getWAS(&job).port);
    EXPECT_EQ(1000, firstPick()) << "retries must not advance the round robin of new jobs";
}

TEST_F(WasServerTableTest, ASingleServerIsEveryPickAndEveryRetry) {
    configure({"127.0.0.1:7080"});
    int job = -1;
    for (int i = 0; i < 4; ++i) {
        wasinfo_t w = table.getWAS(&job);
        EXPECT_EQ("127.0.0.1", w.addr);
        EXPECT_EQ(7080, w.port);
        EXPECT_EQ(7080, firstPick());
    }
}

TEST_F(WasServerTableTest, AnEntryWithoutColonStopsTheConversionKeepingEarlierOnes) {
    std::vector<std::string> list = {"a:1", "b:2", "nocolon", "d:4"};
    EXPECT_EQ(0, table.convert2WasInfo(list.data(), 4));
    EXPECT_EQ("a", table.entry(0).addr);
    EXPECT_EQ(2, table.entry(1).port);
    EXPECT_EQ("", table.entry(2).addr);
    EXPECT_EQ(0, table.entry(3).port);
}

TEST_F(WasServerTableTest, TheSizeStaysWithinTheTable) {
    table.setSize(99);
    EXPECT_EQ(WasServerTable::kCapacity, table.size());
    table.setSize(0);
    EXPECT_EQ(1, table.size());
}

TEST_F(WasServerTableTest, ConcurrentFirstPicksSpreadEvenly) {
    configure({"h:0", "h:1", "h:2"});
    std::vector<int> counts(3);
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> perThread(4, std::vector<int>(3));
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) ++perThread[t][firstPick()];
        });
    for (auto& th : threads) th.join();
    for (auto& p : perThread)
        for (int s = 0; s < 3; ++s) counts[s] += p[s];
    // 1200 picks over three servers: a lost cursor update would skew this.
    EXPECT_EQ(400, counts[0]);
    EXPECT_EQ(400, counts[1]);
    EXPECT_EQ(400, counts[2]);
}

}  // namespace
