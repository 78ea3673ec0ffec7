#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "tolvex/util/ChatUtil.h"

using namespace std::string_literals;

// ---- time-out settings --------------------------------------------------------

TEST(ConvertToMinuteTest, DaysHoursMinutesAddUp) {
    EXPECT_EQ(1563, ChatUtil::convertToMinute("1:2:3"));
    EXPECT_EQ(1590, ChatUtil::convertToMinute("1:2:30"));
    EXPECT_EQ(30, ChatUtil::convertToMinute("0:0:30"));
}

TEST(ConvertToMinuteTest, AnyOtherFormIsSevenDays) {
    EXPECT_EQ(10080, ChatUtil::convertToMinute("90"));
    EXPECT_EQ(10080, ChatUtil::convertToMinute("1:2"));
    EXPECT_EQ(10080, ChatUtil::convertToMinute("1:2:3:4"));
    EXPECT_EQ(10080, ChatUtil::convertToMinute(""));
}

TEST(ConvertToMinuteTest, NonNumbersCountAsZeroAndHugeValuesSaturate) {
    EXPECT_EQ(60, ChatUtil::convertToMinute("x:1:y"));
    EXPECT_EQ(2147483647, ChatUtil::convertToMinute("99999999999:0:0"));
}

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

    std::map<room_key, int> rooms{{a, 1}, {b, 2}};
    EXPECT_EQ(2u, rooms.size());
    EXPECT_EQ(1, rooms.at(ChatUtil::makeRoomKey(5, "other@y.a")));
}

TEST(RoomKeyTest, SameTenantOrdersByRoomIdFirst) {
    const room_key five = ChatUtil::makeRoomKey(5, "u@x.zzz");
    const room_key seven = ChatUtil::makeRoomKey(7, "u@x.aaa");
    EXPECT_TRUE(five < seven);
    EXPECT_FALSE(seven < five);
}

TEST(RoomKeyTest, TenantIsKeptWholeUpToTheLongestLegalId) {
    const std::string longest(MAX_ID_LEN, 't');  // an id without "@" is its own tenant
    const room_key key = ChatUtil::makeRoomKey(1, longest);
    EXPECT_EQ(longest, key.tenantId);
    EXPECT_FALSE(key == ChatUtil::makeRoomKey(1, longest.substr(1)));
    // A different tail beyond the cut names the same room.
    EXPECT_TRUE(key == ChatUtil::makeRoomKey(1, longest + "other"));
}

TEST(MsgKeyTest, OrdersByRoomThenSequenceThenTenant) {
    const msg_key r1s9 = ChatUtil::makeMsgKey(1, 9, "u@x.b");
    const msg_key r2s1 = ChatUtil::makeMsgKey(2, 1, "u@x.a");
    const msg_key r1s3b = ChatUtil::makeMsgKey(1, 3, "u@x.b");
    const msg_key r1s3a = ChatUtil::makeMsgKey(1, 3, "u@x.a");
    EXPECT_TRUE(r1s9 < r2s1);
    EXPECT_TRUE(r1s3b < r1s9);
    EXPECT_TRUE(r1s3a < r1s3b);
    EXPECT_EQ(3u, r1s3a.msgSeq);
    EXPECT_EQ("a", r1s3a.tenantId);
}

// ---- names --------------------------------------------------------------------------

TEST(EventNameTest, MessageFlowCodesHaveNamesOthersTheirNumber) {
    EXPECT_EQ("MSG_RELAY", ChatUtil::getEventName(3089));
    EXPECT_EQ("MSG", ChatUtil::getEventName(MSG));
    EXPECT_EQ("ATTACH", ChatUtil::getEventName(ATTACH));
    EXPECT_EQ("3073", ChatUtil::getEventName(3073));
}

TEST(EventNameTest, ConversationTypes) {
    EXPECT_TRUE(ChatUtil::isTypeOfConversation(MSG_TALK));
    EXPECT_TRUE(ChatUtil::isTypeOfConversation(MSG_STICKER_CODE));
    EXPECT_TRUE(ChatUtil::isTypeOfConversation(MSG_ATTACH));
    EXPECT_FALSE(ChatUtil::isTypeOfConversation(MSG_JOIN));
    EXPECT_FALSE(ChatUtil::isTypeOfConversation(MSG_LEAVE));
    EXPECT_FALSE(ChatUtil::isTypeOfConversation(0));
}

// ---- statistics lines ---------------------------------------------------------------

TEST(StatLineTest, RoomIdsPrintAsSignedNumbers) {
    // The chat log has always shown room ids through %d.
    EXPECT_EQ("S:>>:-1:5:MSG:u:PC:SUCC:", ChatUtil::formatReceiveLine(0xFFFFFFFFu, 5, "MSG", "u", 1, ""));
}

// ---- small helpers --------------------------------------------------------------------

TEST(ItoaTest, WritesDecimalTextIntoTheBuffer) {
    char buf[12];
    EXPECT_STREQ("-2147483648", ChatUtil::itoa(buf, -2147483647 - 1));
    EXPECT_STREQ("0", ChatUtil::itoa(buf, 0));
    EXPECT_EQ("515", ChatUtil::itoa(515));
    char small[3];
    EXPECT_STREQ("12", ChatUtil::itoa(small, sizeof small, 12345));  // cut, still terminated
}
