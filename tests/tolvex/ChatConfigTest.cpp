#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cpputil/Trace.h"
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
    void TearDown() override { g_trace.off(); }

    // Writes config.xml from section bodies and reads it with extra arguments.
    bool load(const std::string& sections, std::vector<std::string> args = {}) {
        path = dir.write("config.xml", "<?xml version=\"1.0\"?><config>" + sections + "</config>");
        std::vector<std::string> store = {"tolvexd", "-c", path};
        store.insert(store.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : store) argv.push_back(a.data());
        argv.push_back(nullptr);
        return config.readConfig(static_cast<int>(store.size()), argv.data(), was, &report);
    }
    void rewrite(const std::string& sections) {
        dir.write("config.xml", "<?xml version=\"1.0\"?><config>" + sections + "</config>");
    }
    bool reportSays(const std::string& line) const {
        for (const auto& l : report.lines)
            if (l == line) return true;
        return false;
    }

    TempDir dir;
    std::string path;
    ChatConfig config;
    WasServerTable was;
    ConfigReport report;
};

TEST_F(ChatConfigTest, WithoutAFileNoWasServerIsUsable) {
    std::vector<std::string> store = {"tolvexd", "-c", dir.file("missing.xml")};
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(a.data());
    EXPECT_FALSE(config.readConfig(3, argv.data(), was, &report));
    EXPECT_EQ(30, was.size());
    for (int i = 0; i < was.size(); ++i) EXPECT_EQ("", was.entry(i).addr);
    EXPECT_FALSE(report.commonOk);
}

TEST_F(ChatConfigTest, EverySectionIsRead) {
    ASSERT_TRUE(load(
        "<tolvexd><servicebindaddr>127.0.0.1:7000</servicebindaddr><iotype>epoll</iotype>"
        "<cmdlogpath>logs</cmdlogpath><msg_relay_ack_timeout_sec>4</msg_relay_ack_timeout_sec>"
        "<service_ip>10.1.1.1</service_ip><send_buffer_max>65536</send_buffer_max></tolvexd>"
        "<room_timeout_list><tenant_size>2</tenant_size><timeout_list>t1:1:2:30</timeout_list>"
        "<timeout_list>t2:90</timeout_list></room_timeout_list>"
        "<trace><enabletrace>true</enabletrace><tracelevel>4</tracelevel></trace>"
        "<ping><checkping>false</checkping><pingcycle>5</pingcycle></ping>"
        "<ghost><ghostpingcycle>7</ghostpingcycle></ghost>"
        "<waslist>" + wasList(3, 8000) + "<was_save_msg>/was/save</was_save_msg></waslist>"));
    const ConfigValues v = config.values();
    EXPECT_EQ(7000, ntohs(v.servicebindaddr.sin_port));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), v.servicebindaddr.sin_addr.s_addr);
    EXPECT_EQ("epoll", v.iotype);
    EXPECT_EQ("logs", v.cmdlogpath);
    EXPECT_EQ(4, config.relayAckTimeoutSec());
    EXPECT_EQ("10.1.1.1", v.service_ip);
    EXPECT_EQ(65536, v.send_buffer_max);
    EXPECT_TRUE(g_trace.isOn());
    EXPECT_EQ(4, g_trace.level());
    EXPECT_FALSE(v.checkping);
    EXPECT_EQ(5, v.pingcycle);
    EXPECT_TRUE(v.checkghost);
    EXPECT_EQ(7, v.ghostpingcycle);
    EXPECT_EQ("/was/save", v.was_save_msg);
    ASSERT_EQ(3, was.size());
    EXPECT_EQ("10.0.0.3", was.entry(2).addr);
    EXPECT_EQ(8002, was.entry(2).port);
    EXPECT_TRUE(reportSays("WAS 10.0.0.1 : 8000"));

    const auto tenants = config.tenantTimeouts();
    ASSERT_EQ(2u, tenants.size());
    EXPECT_EQ("t1", tenants[0].tenantId);
    EXPECT_EQ("1:2:30", tenants[0].timeInfo);
    EXPECT_EQ("90", tenants[1].timeInfo);
}

TEST_F(ChatConfigTest, FortyWasServersKeepTheFirstThirty) {
    ASSERT_TRUE(load(kServe + "<waslist>" + wasList(40, 9000) + "</waslist>"));
    EXPECT_EQ(30, was.size());
    EXPECT_EQ(9029, was.entry(29).port);
}

TEST_F(ChatConfigTest, AReReadCanLowerTheServerCountButNeverRaiseIt) {
    ASSERT_TRUE(load(kServe + "<waslist>" + wasList(3, 8000) + "</waslist>"));
    rewrite(kServe + "<waslist>" + wasList(5, 9000) + "</waslist>");
    EXPECT_TRUE(config.reread(was, &report).ok);
    EXPECT_EQ(3, was.size());
    EXPECT_EQ(9002, was.entry(2).port);

    rewrite(kServe + "<waslist>" + wasList(2, 6000) + "</waslist>");
    config.reread(was, &report);
    EXPECT_EQ(2, was.size());
    EXPECT_EQ(6001, was.entry(1).port);
}

TEST_F(ChatConfigTest, AReReadChangesTimeoutsButPingOnlyWhenAskedTo) {
    ASSERT_TRUE(load(kServe + "<ping><pingcycle>300</pingcycle></ping><waslist>" + wasList(1, 8000) + "</waslist>"));
    EXPECT_EQ(1000, config.wasMaxRequests());
    rewrite("<tolvexd><msg_relay_ack_timeout_sec>3</msg_relay_ack_timeout_sec>"
            "<was_max_requests>50</was_max_requests>"
            "<servicebindaddr>127.0.0.1:9</servicebindaddr></tolvexd>"
            "<ping><pingcycle>5</pingcycle></ping>");
    ChatConfig::RereadResult r = config.reread(was, &report);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.pingChanged);
    EXPECT_EQ(3, config.relayAckTimeoutSec());
    EXPECT_EQ(50, config.wasMaxRequests());
    EXPECT_EQ(300, config.values().pingcycle);
    EXPECT_EQ(7000, ntohs(config.values().servicebindaddr.sin_port)) << "the listening address is not re-read";

    rewrite("<tolvexd><isreadping>true</isreadping></tolvexd><ping><pingcycle>five</pingcycle></ping>");
    EXPECT_FALSE(config.reread(was, &report).ok) << "a broken file changes nothing";
    EXPECT_EQ(300, config.values().pingcycle);
    rewrite("<tolvexd><isreadping>true</isreadping></tolvexd><ping><pingcycle>5</pingcycle></ping>");
    r = config.reread(was, &report);
    EXPECT_TRUE(r.pingChanged);
    EXPECT_EQ(5, config.values().pingcycle);
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

TEST(ConvertTimoutInfoTest, KeepsTheRestAfterTheTenantAndStopsAtAnEntryWithoutColon) {
    std::array<room_timout_info, ConfigValues::kMaxTenants> table;
    std::vector<std::string> list = {"t1:1:2:30", "t2", "t3:0:0:1"};
    EXPECT_EQ(0, ChatConfig::convertTimoutInfo(list.data(), 3, table));
    EXPECT_EQ("t1", table[0].tenantId);
    EXPECT_EQ("1:2:30", table[0].timeInfo);
    EXPECT_EQ("", table[1].tenantId);
    EXPECT_EQ("", table[2].tenantId);
}

}  // namespace
