#include <gtest/gtest.h>

#include "tolvex/util/ChatUtil.h"

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
