#include "was/WasText.h"

#include <gtest/gtest.h>

namespace {

struct tenant_case_t {
    const char* userId;
    const char* tenant;
};

void PrintTo(const tenant_case_t& c, std::ostream* os) {
    *os << c.userId;
}

class TenantRuleTest : public ::testing::TestWithParam<tenant_case_t> {};

TEST_P(TenantRuleTest, MatchesTheDaemonsRule) {
    EXPECT_EQ(GetParam().tenant, tenantOf(GetParam().userId));
}

INSTANTIATE_TEST_SUITE_P(
    WasText, TenantRuleTest,
    ::testing::Values(tenant_case_t{"kim@corp.example.com", "example.com"},
                      tenant_case_t{"kim@corp.com", "com"},
                      tenant_case_t{"kim@localhost", "kim@localhost"},
                      tenant_case_t{"kim", "kim"},
                      tenant_case_t{"a.b@c.d.e", "d.e"},  // the dot after the "@" counts
                      tenant_case_t{"x@y@z.w", "w"}));

TEST(WasTextTest, TenantIsCutToTheLongestLegalId) {
    std::string id = "u@h." + std::string(300, 't');
    EXPECT_EQ(std::string(256, 't'), tenantOf(id));
}

TEST(WasTextTest, ListsSplitAtEverySeparator) {
    EXPECT_TRUE(splitList("", ',').empty());
    EXPECT_EQ((std::vector<std::string>{"a"}), splitList("a", ','));
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), splitList("a,,b", ','));
    EXPECT_EQ((std::vector<std::string>{"a", ""}), splitList("a\t", '\t'));
}

TEST(WasTextTest, EndTimeIsUtcDigits) {
    EXPECT_EQ("20231114221320", endTimeText(1700000000));
    EXPECT_EQ("19700101000000", endTimeText(0));  // still not empty: the member has left
}

}  // namespace
