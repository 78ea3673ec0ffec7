#include "cpputil/HostUtil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A HostUtil of the test's own whose resolver counts lookups and knows a few
// names, so the cache can be watched without touching DNS.
class HostCacheTest : public ::testing::Test {
protected:
    HostCacheTest()
        : m_hosts([this](const char* host, in_addr* addr) {
              ++m_lookups;
              if (std::strcmp(host, "was1") == 0) return inet_pton(AF_INET, m_was1Ip, addr) == 1;
              return false;
          }) {}

    // A sockaddr_in with a port and family the resolver must leave alone.
    static sockaddr_in target() {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(7000);
        sa.sin_addr.s_addr = htonl(0x01020304);
        return sa;
    }

    static std::string dotted(const sockaddr_in& sa) {
        char buf[INET_ADDRSTRLEN];
        return inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
    }

    const char* m_was1Ip = "10.0.0.7";
    std::atomic<int> m_lookups{0};
    HostUtil m_hosts;
};

TEST_F(HostCacheTest, SameNameIsResolvedOnlyOnce) {
    sockaddr_in sa = target();
    ASSERT_TRUE(m_hosts.resolveHost(&sa, "was1"));
    m_was1Ip = "10.9.9.9";  // a later DNS change is not seen: entries never expire
    sockaddr_in again = target();
    ASSERT_TRUE(m_hosts.resolveHost(&again, "was1"));
    EXPECT_EQ(1, m_lookups);
    EXPECT_EQ("10.0.0.7", dotted(sa));
    EXPECT_EQ("10.0.0.7", dotted(again));
}

TEST_F(HostCacheTest, UnknownNameFailsAndIsNotCached) {
    sockaddr_in sa = target();
    EXPECT_FALSE(m_hosts.resolveHost(&sa, "nowhere"));
    EXPECT_EQ("1.2.3.4", dotted(sa));
    EXPECT_FALSE(m_hosts.resolveHost(&sa, "nowhere"));
    EXPECT_EQ(2, m_lookups);
    EXPECT_FALSE(m_hosts.resolveHost(&sa, nullptr));
}

TEST_F(HostCacheTest, ConcurrentCallersShareOneLookup) {
    std::vector<std::thread> threads;
    std::atomic<int> resolved{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            sockaddr_in sa = target();
            if (m_hosts.resolveHost(&sa, "was1") && dotted(sa) == "10.0.0.7") ++resolved;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(4, resolved);
    EXPECT_EQ(1, m_lookups);
}

TEST(HostUtilDefaultTest, DottedTextAndLocalNamesResolve) {
    sockaddr_in sa{};
    ASSERT_TRUE(resolveHost(&sa, "127.0.0.1"));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), sa.sin_addr.s_addr);
    sockaddr_in local{};
    ASSERT_TRUE(resolveHost(&local, "localhost"));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), local.sin_addr.s_addr);
}

}  // namespace
