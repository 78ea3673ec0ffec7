// The WAS server list and the room timeouts as the configuration gives them:
// the bounds that protect their fixed-size tables, and the server table's two
// cursors (the round robin that spreads new jobs, shared by every thread, and
// the one a retried job carries on its own).

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "tolvex/util/ChatConfig.h"
#include "tolvex/util/WasServerTable.h"

namespace {

std::string wasList(int count, int firstPort) {
    std::string xml;
    for (int i = 0; i < count; ++i)
        xml += "<was>10.0.0." + std::to_string(i + 1) + ":" + std::to_string(firstPort + i) + "</was>";
    return xml;
}

const std::string kServe = "<tolvexd><servicebindaddr>127.0.0.1:7000</servicebindaddr></tolvexd>";

class ChatConfigTest : public ::testing::Test {
protected:
    // Writes config.xml from section bodies and reads it as the daemon's start does.
    bool load(const std::string& sections) {
        std::vector<std::string> store = {"tolvexd", "-c",
                                          dir.write("config.xml", "<?xml version=\"1.0\"?><config>" + sections + "</config>")};
        std::vector<char*> argv = {store[0].data(), store[1].data(), store[2].data(), nullptr};
        return config.readConfig(3, argv.data(), was, &report);
    }

    TempDir dir;
    ChatConfig config;
    WasServerTable was;
    ConfigReport report;
};

TEST_F(ChatConfigTest, FortyWasServersKeepTheFirstThirty) {
    ASSERT_TRUE(load(kServe + "<waslist>" + wasList(40, 9000) + "</waslist>"));
    EXPECT_EQ(30, was.size());
    EXPECT_EQ(9029, was.entry(29).port);
}

TEST_F(ChatConfigTest, TenantSizeAboveTheTableIsBounded) {
    std::string list;
    for (int i = 0; i < 12; ++i) list += "<timeout_list>t" + std::to_string(i) + ":0:0:" + std::to_string(i) + "</timeout_list>";
    ASSERT_TRUE(load(kServe + "<room_timeout_list><tenant_size>50</tenant_size>" + list + "</room_timeout_list>"
                     "<waslist>" + wasList(1, 8000) + "</waslist>"));
    const auto tenants = config.tenantTimeouts();
    ASSERT_EQ(10u, tenants.size());
    EXPECT_EQ("t9", tenants[9].tenantId);
}

// A job would connect to port 0 and every message would wait for retries.
TEST_F(ChatConfigTest, WasEntryWithoutAUsablePortRefusesTheStart) {
    for (const char* entry : {"10.0.0.1:x", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:80x", "10.0.0.1:"}) {
        report = {};
        EXPECT_FALSE(load(kServe + "<waslist>" + wasList(1, 8000) + "<was>" + entry + "</was></waslist>")) << entry;
        ASSERT_EQ(1u, report.errors.size()) << entry;
        EXPECT_NE(std::string::npos, report.errors[0].find(std::string("<was> ") + entry + " has no port from 1 to 65535"))
            << report.errors[0];
    }
}

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

TEST_F(WasServerTableTest, ConcurrentFirstPicksSpreadEvenly) {
    configure({"h:0", "h:1", "h:2"});
    std::vector<std::array<int, 3>> perThread(4);  // each thread counts its own picks
    std::vector<std::thread> threads;
    for (auto& counts : perThread)
        threads.emplace_back([this, &c = counts] {
            for (int i = 0; i < 300; ++i) ++c[static_cast<size_t>(firstPick())];
        });
    for (auto& t : threads) t.join();
    // 1200 picks over three servers: a lost cursor update would skew this.
    for (size_t s = 0; s < 3; ++s)
        EXPECT_EQ(400, perThread[0][s] + perThread[1][s] + perThread[2][s] + perThread[3][s]) << "server " << s;
}

}  // namespace
