#include "net/AddressRateLimiter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;
using V = AddressRateLimiter::verdict_t;

uint32_t ip(const std::string& text) {
    in_addr a{};
    EXPECT_EQ(1, inet_pton(AF_INET, text.c_str(), &a)) << text;
    return a.s_addr;
}

class AddressRateLimiterTest : public testing::Test {
protected:
    std::vector<V> admit(const std::string& addr, int n) {
        std::vector<V> out;
        for (int i = 0; i < n; ++i) out.push_back(m_limiter.admit(ip(addr), m_now));
        return out;
    }
    void advance(int ms) { m_now += milliseconds(ms); }

    AddressRateLimiter m_limiter;
    AddressRateLimiter::Clock::time_point m_now = AddressRateLimiter::Clock::time_point{} + std::chrono::hours(1);
};

// One log-worthy refusal per episode: a connection let in at the rate does
// not end it; earning the whole burst back does.
TEST_F(AddressRateLimiterTest, AnEpisodeStartsOnceAndEndsWhenTheAddressSlowsDown) {
    m_limiter.configure(1, 2, false);
    EXPECT_EQ((std::vector<V>{V::ADMIT, V::ADMIT, V::REFUSE_FIRST, V::REFUSE}), admit("10.0.0.1", 4));
    EXPECT_EQ((std::vector<V>{V::ADMIT, V::ADMIT}), admit("10.0.0.2", 2)) << "other addresses are not held back";
    advance(1000);
    EXPECT_EQ((std::vector<V>{V::ADMIT, V::REFUSE}), admit("10.0.0.1", 2));
    advance(2000);
    EXPECT_EQ((std::vector<V>{V::ADMIT, V::ADMIT, V::REFUSE_FIRST}), admit("10.0.0.1", 3));
}

TEST_F(AddressRateLimiterTest, LoopbackIsExemptUnlessAskedAndZeroRateIsOff) {
    m_limiter.configure(1, 1, false);
    EXPECT_EQ(std::vector<V>(5, V::ADMIT), admit("127.0.0.2", 5));
    m_limiter.configure(1, 1, true);
    EXPECT_EQ((std::vector<V>{V::ADMIT, V::REFUSE_FIRST}), admit("127.0.0.2", 2));
    m_limiter.configure(0, 1, true);
    EXPECT_EQ(std::vector<V>(5, V::ADMIT), admit("10.0.0.1", 5));
}

// Addresses that stopped connecting are forgotten once their bucket has
// refilled, so a scan from many addresses leaves no lasting table.
TEST_F(AddressRateLimiterTest, IdleAddressesAreForgotten) {
    m_limiter.configure(10, 2, false);
    for (int i = 0; i < 500; ++i) m_limiter.admit(htonl(0x0A000000u + static_cast<uint32_t>(i)), m_now);
    EXPECT_EQ(500u, m_limiter.trackedAddresses());
    advance(1000);
    m_limiter.admit(ip("10.1.0.1"), m_now);
    EXPECT_EQ(1u, m_limiter.trackedAddresses());
}

}  // namespace
