#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tolvex/util/ChatUtil.h"

// ---- tenants and keys -----------------------------------------------------------

struct TenantCase {
    const char* userId;
    const char* tenant;
};

class TenantTest : public ::testing::TestWithParam<TenantCase> {};

TEST_P(TenantTest, DerivedFromTheTextAfterTheDomainsFirstDot) {
    EXPECT_EQ(GetParam().tenant, ChatUtil::getTenantId(GetParam().userId));
}

INSTANTIATE_TEST_SUITE_P(
    UserIds, TenantTest,
    ::testing::Values(TenantCase{"kim@mail.corp.com", "corp.com"},  // three words: the last two
                      TenantCase{"kim@corp.com", "com"},            // two words: the last one
                      TenantCase{"kim@localhost", "kim@localhost"}, // no dot: the whole id
                      TenantCase{"kim", "kim"},                     // no "@": itself
                      TenantCase{"k.im@a.b", "b"},                  // dots before "@" do not count
                      TenantCase{"kim@a.b@c.d", "b@c.d"},           // only the first "@" counts
                      TenantCase{"", ""}));

TEST(RoomKeyTest, SameRoomIdUnderTwoTenantsIsTwoRoomsOrderedByTenant) {
    const room_key a = ChatUtil::makeRoomKey(5, "u@x.a");
    const room_key b = ChatUtil::makeRoomKey(5, "u@x.b");
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);

    EXPECT_TRUE(ChatUtil::makeRoomKey(5, "u@x.zzz") < ChatUtil::makeRoomKey(7, "u@x.aaa"));  // room id first
    std::map<room_key, int> rooms{{a, 1}, {b, 2}};
    EXPECT_EQ(2u, rooms.size());
    EXPECT_EQ(1, rooms.at(ChatUtil::makeRoomKey(5, "other@y.a")));
}

TEST(RoomKeyTest, TenantIsKeptWholeUpToTheLongestLegalId) {
    const std::string longest(MAX_ID_LEN, 't');  // an id without "@" is its own tenant
    const room_key key = ChatUtil::makeRoomKey(1, longest);
    EXPECT_EQ(longest, key.tenantId);
    EXPECT_FALSE(key == ChatUtil::makeRoomKey(1, longest.substr(1)));
    // A different tail beyond the cut names the same room.
    EXPECT_TRUE(key == ChatUtil::makeRoomKey(1, longest + "other"));
}

// ---- statistics lines ---------------------------------------------------------------

TEST(StatLineTest, RoomIdsPrintAsSignedNumbers) {
    // The chat log has always shown room ids through %d.
    EXPECT_EQ("S:>>:-1:5:MSG:u:PC:SUCC:", ChatUtil::formatReceiveLine(0xFFFFFFFFu, 5, "MSG", "u", 1, ""));
}

// ---- small helpers --------------------------------------------------------------------

