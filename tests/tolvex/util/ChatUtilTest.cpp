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

TEST(RoomKeyTest, NewKeyIsAllZero) {
    const room_key key;
    EXPECT_EQ(0u, key.roomId);
    EXPECT_EQ(0u, key.tenantIdLen);
    EXPECT_EQ('\0', key.tenantId[0]);
}

TEST(RoomKeyTest, LongTenantIsCutTo255Bytes) {
    const std::string longTenant(400, 't');
    const room_key key = ChatUtil::makeRoomKey(1, "u@x." + longTenant);
    EXPECT_EQ(255u, key.tenantIdLen);
    EXPECT_EQ(std::string(255, 't'), std::string(key.tenantId));
    // A different tail beyond the cut names the same room.
    EXPECT_TRUE(key == ChatUtil::makeRoomKey(1, "u@x." + std::string(255, 't') + "other"));
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
    EXPECT_STREQ("a", r1s3a.tenantId);
    EXPECT_EQ(1u, r1s3a.tenantIdLen);
}

// ---- names --------------------------------------------------------------------------

TEST(EventNameTest, MessageFlowCodesHaveNamesOthersTheirNumber) {
    EXPECT_EQ("MSG_RELAY", ChatUtil::getEventName(3089));
    EXPECT_EQ("MSG", ChatUtil::getEventName(MSG));
    EXPECT_EQ("MSG_ACK", ChatUtil::getEventName(MSG_ACK));
    EXPECT_EQ("MSG_RELAY_ACK", ChatUtil::getEventName(MSG_RELAY_ACK));
    EXPECT_EQ("USER_JOIN_ALARM", ChatUtil::getEventName(USER_JOIN_ALARM));
    EXPECT_EQ("TYPING_ALARM", ChatUtil::getEventName(TYPING_ALARM));
    EXPECT_EQ("USER_FORCE_LEAVE_ALARM", ChatUtil::getEventName(USER_FORCE_LEAVE_ALARM));
    EXPECT_EQ("USER_LEAVE_ALARM", ChatUtil::getEventName(USER_LEAVE_ALARM));
    EXPECT_EQ("ATTACH", ChatUtil::getEventName(ATTACH));
    EXPECT_EQ("ATTACH_ACK", ChatUtil::getEventName(ATTACH_ACK));
    EXPECT_EQ("ATTACH_ALARM_RELAY", ChatUtil::getEventName(ATTACH_ALARM_RELAY));
    EXPECT_EQ("ATTACH_ALARM_RELAY_ACK", ChatUtil::getEventName(ATTACH_ALARM_RELAY_ACK));
    EXPECT_EQ("3073", ChatUtil::getEventName(3073));
    EXPECT_EQ("65535", ChatUtil::getEventName(65535));
}

TEST(EventNameTest, DeviceKindsAndResults) {
    EXPECT_STREQ("PC", ChatUtil::getOsTypeDesc(1));
    EXPECT_STREQ("MOBILE", ChatUtil::getOsTypeDesc(2));
    EXPECT_STREQ("NPUSH", ChatUtil::getOsTypeDesc(100));
    EXPECT_STREQ("NONE", ChatUtil::getOsTypeDesc(0));
    EXPECT_STREQ("NONE", ChatUtil::getOsTypeDesc(3));
    EXPECT_STREQ("SUCC", ChatUtil::getSendResultDesc(0));
    EXPECT_STREQ("FAIL", ChatUtil::getSendResultDesc(-1));
    EXPECT_STREQ("FAIL", ChatUtil::getSendResultDesc(1));
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

TEST(StatLineTest, ReceiveLinePrintsMinusOneForMessageZero) {
    EXPECT_EQ("S:>>:12:-1:USER_JOIN:kim@x.com:PC:SUCC:",
              ChatUtil::formatReceiveLine(12, 0, "USER_JOIN", "kim@x.com", OS_TYPE_PC, ""));
    EXPECT_EQ("S:>>:12:7:MSG:kim:MOBILE:SUCC:opt",
              ChatUtil::formatReceiveLine(12, 7, "MSG", "kim", OS_TYPE_MOBILE, "opt"));
}

TEST(StatLineTest, SendLineCarriesTheResultText) {
    EXPECT_EQ("S:<<:3:-1:SESSION_CLOSE:lee:PC:FAIL:10(dup)",
              ChatUtil::formatSendLine(3, -1, "SESSION_CLOSE", "lee", OS_TYPE_PC, -1, "10(dup)"));
    EXPECT_EQ("S:<<:3:42:MSG_RELAY:lee:NONE:SUCC:",
              ChatUtil::formatSendLine(3, 42, "MSG_RELAY", "lee", 0, 0, ""));
}

TEST(StatLineTest, RoomEndLineNamesNobody) {
    EXPECT_EQ("S:<>:9:-1:ROOM_END::NONE:SUCC:OLD,10080", ChatUtil::formatRoomEndLine(9, "OLD,10080"));
}

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

TEST(MsgInfoTest, NewRecordIsZeroButTypeAndTimestamp) {
    const uint32_t before = ChatUtil::getUTCTimeSecond();
    const msg_info msg;
    EXPECT_EQ(MSG_TALK, msg.msgType);
    EXPECT_GE(msg.selfTimestamp, before);
    EXPECT_LE(msg.selfTimestamp, ChatUtil::getUTCTimeSecond());
    EXPECT_EQ(0u, msg.roomId);
    EXPECT_EQ(0u, msg.msgNum);
    EXPECT_EQ(0, msg.fromIdLen);
    EXPECT_EQ('\0', msg.fromId[0]);
    EXPECT_EQ(0u, msg.memberCount);
}

TEST(MsgInfoTest, FixedArraysHaveTheirProtocolSizes) {
    const msg_info msg;
    EXPECT_EQ(256u, sizeof msg.fromId);
    EXPECT_EQ(256u, sizeof msg.fromIdTalkName);
    EXPECT_EQ(8192u, sizeof msg.msg);
    EXPECT_EQ(10000u, sizeof msg.font);
    EXPECT_EQ(2048u, sizeof msg.msgDesc);
    const attachFileInfo file;
    EXPECT_EQ(2048u, sizeof file.fileName);
    EXPECT_EQ(4096u, sizeof file.url);
    const send_result result;
    EXPECT_EQ(256u, sizeof result.userId);
    EXPECT_EQ(0u, result.sendResultCode);
}
