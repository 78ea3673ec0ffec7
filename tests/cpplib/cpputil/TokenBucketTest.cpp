#include "cpputil/TokenBucket.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

using std::chrono::milliseconds;

// After moving the clock by advanceMs, `tries` takes of which `granted` succeed.
struct step_t {
    int advanceMs;
    int tries;
    int granted;
};

struct bucket_case_t {
    const char* name;
    int rate;
    int burst;
    std::vector<step_t> steps;
};

void PrintTo(const bucket_case_t& c, std::ostream* os) {
    *os << c.name;
}

class TokenBucketTest : public testing::TestWithParam<bucket_case_t> {};

TEST_P(TokenBucketTest, GrantsTheBurstThenTheRate) {
    const bucket_case_t& c = GetParam();
    auto now = TokenBucket::Clock::time_point{} + std::chrono::hours(1);
    TokenBucket bucket(c.rate, c.burst, now);
    for (size_t i = 0; i < c.steps.size(); ++i) {
        now += milliseconds(c.steps[i].advanceMs);
        int granted = 0;
        for (int t = 0; t < c.steps[i].tries; ++t) granted += bucket.take(now) ? 1 : 0;
        EXPECT_EQ(c.steps[i].granted, granted) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenBucketTest,
    testing::Values(bucket_case_t{"BurstAtOnceThenNothing", 10, 3, {{0, 5, 3}, {0, 1, 0}}},
                    // Fractions of a token carry over: 2.5 tokens give 2, and the half
                    // left makes a whole one 50 ms later.
                    bucket_case_t{"RefillsAtTheRate", 10, 3, {{0, 3, 3}, {100, 2, 1}, {250, 3, 2}, {50, 1, 1}}},
                    bucket_case_t{"RefillStopsAtTheBurst", 10, 3, {{0, 3, 3}, {10000, 5, 3}}},
                    bucket_case_t{"ZeroRateIsOff", 0, 1, {{0, 1000, 1000}}},
                    bucket_case_t{"ClockGoingBackRefillsNothing", 10, 2, {{0, 2, 2}, {-1000, 1, 0}, {1000, 1, 0}}}),
    [](const testing::TestParamInfo<bucket_case_t>& info) { return info.param.name; });

TEST(TokenBucketFullTest, FullOnlyOnceTheBurstIsBack) {
    const auto t0 = TokenBucket::Clock::time_point{} + std::chrono::hours(1);
    TokenBucket bucket(2, 2, t0);
    EXPECT_TRUE(bucket.full(t0));
    ASSERT_TRUE(bucket.take(t0));
    EXPECT_FALSE(bucket.full(t0 + milliseconds(499)));
    EXPECT_TRUE(bucket.full(t0 + milliseconds(500)));
    EXPECT_TRUE(TokenBucket().full(t0)) << "an unlimited bucket holds no history";
}

}  // namespace
