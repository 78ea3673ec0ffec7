#include "was/WasText.h"

#include <gtest/gtest.h>

namespace {

// The tenant of a user id must be the daemon's, or rooms split in two.
TEST(WasTextTest, TenantFollowsTheDaemonsRuleAndIsCutToTheLongestLegalId) {
    const std::pair<const char*, const char*> cases[] = {
        {"kim@corp.example.com", "example.com"}, {"kim@corp.com", "com"}, {"kim@localhost", "kim@localhost"},
        {"kim", "kim"}, {"a.b@c.d.e", "d.e"},  // the dot after the "@" counts
        {"x@y@z.w", "w"}};
    for (const auto& [userId, tenant] : cases) EXPECT_EQ(tenant, tenantOf(userId)) << userId;
    EXPECT_EQ(std::string(256, 't'), tenantOf("u@h." + std::string(300, 't')));
}

}  // namespace
