#include "p2p/Parser2.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

class Parser2Test : public ::testing::Test {
protected:
    Parser2 over(const std::string& bytes) {
        m_body = bytes;
        return Parser2(m_body.data(), static_cast<int>(m_body.size()));
    }

    std::string m_body;
};

TEST_F(Parser2Test, ExactFitThenOneMoreByteFails) {
    Parser2 p = over("abcd");
    uint32_t v = 0;
    ASSERT_EQ(0, p.mem(&v, 4));
    EXPECT_FALSE(p.remain(1));
    uint8_t b = 0;
    EXPECT_EQ(-1, p.mem(&b, 1));
    EXPECT_EQ(PARSERERR_READDONE, p.m_lastError);
    EXPECT_EQ(4, p.pos());
}

TEST_F(Parser2Test, ShortFieldLeavesPositionForInspection) {
    Parser2 p = over("ab");
    uint32_t v = 0;
    EXPECT_EQ(-1, p.mem(&v, 4));
    EXPECT_EQ(0, p.pos());
    EXPECT_TRUE(p.remain(2));
}

TEST_F(Parser2Test, Mem8LongerThanDestinationOverflowsWithoutMoving) {
    Parser2 p = over("\x0A" "0123456789");
    char dest[9];
    EXPECT_EQ(-1, p.mem8(dest, 9));
    EXPECT_EQ(PARSERERR_OVERFLOW, p.lastError());
    EXPECT_EQ(0, p.pos());
    char big[10];
    int len = 0;
    ASSERT_EQ(0, p.mem8(big, 10, &len));
    EXPECT_EQ(10, len);
    EXPECT_EQ("0123456789", std::string(big, 10));
    EXPECT_EQ(11, p.pos());
}

TEST_F(Parser2Test, Mem8PastTheEndIsReadDone) {
    Parser2 p = over("\x05" "ab");
    char dest[16];
    EXPECT_EQ(-1, p.mem8(dest, 16));
    EXPECT_EQ(PARSERERR_READDONE, p.lastError());
    EXPECT_EQ(0, p.pos());
}

TEST_F(Parser2Test, SstrTerminatesAndKeepsRoomForTheZero) {
    char dest[10];
    int len = 0;
    Parser2 ok = over("\x09" "123456789");
    ASSERT_EQ(0, ok.sstr(dest, sizeof dest, &len));
    EXPECT_EQ(9, len);
    EXPECT_STREQ("123456789", dest);

    Parser2 tooLong = over("\x0A" "0123456789");
    EXPECT_EQ(-1, tooLong.sstr(dest, sizeof dest));
    EXPECT_EQ(PARSERERR_OVERFLOW, tooLong.lastError());
}

TEST_F(Parser2Test, EmptyShortStringIsAnEmptyTerminatedString) {
    char dest[4] = {'x', 'x', 'x', 'x'};
    Parser2 p = over(std::string(1, '\0'));
    ASSERT_EQ(0, p.sstr(dest, sizeof dest));
    EXPECT_STREQ("", dest);
    EXPECT_EQ(1, p.pos());
}

TEST_F(Parser2Test, ViewsPastTheEndFailWithoutMoving) {
    Parser2 p = over(std::string("\x04\x00" "abc", 5));
    pstr_t s;
    EXPECT_EQ(-1, p.ptstr(&s, 0, 0));
    EXPECT_EQ(PARSERERR_READDONE, p.lastError());
    Parser2 q = over("\x04" "abc");
    psstr_t ss;
    EXPECT_EQ(-1, q.ptsstr(&ss));
    EXPECT_EQ(0, q.pos());
    EXPECT_EQ(0, ss.len());
}

TEST_F(Parser2Test, LengthPrefixAtTheVeryEndFailsCleanly) {
    Parser2 p = over("ab");
    p.throwAway(2);
    psstr_t ss;
    pstr_t s;
    char dest[8];
    EXPECT_EQ(-1, p.ptsstr(&ss));
    EXPECT_EQ(-1, p.ptstr(&s));
    EXPECT_EQ(-1, p.mem8(dest, 8));
    EXPECT_EQ(PARSERERR_READDONE, p.lastError());
    // A single byte where a u16 length belongs is not enough either.
    Parser2 q = over("\x01");
    EXPECT_EQ(-1, q.ptstr(&s));
}

TEST_F(Parser2Test, PtsstrViewsShortString) {
    Parser2 p = over("\x02" "hi" "tail");
    psstr_t ss;
    ASSERT_EQ(0, p.ptsstr(&ss, 1, 2));
    EXPECT_EQ("hi", std::string(ss.c_str(), ss.len()));
    EXPECT_EQ(0, ss.m_osType);
    EXPECT_EQ(3, p.pos());
}

TEST_F(Parser2Test, ThrowAwayStopsAtTheEnd) {
    Parser2 p = over("1234567");
    p.throwAway(100);
    EXPECT_EQ(7, p.pos());
    p.throwAway(-5);
    EXPECT_EQ(7, p.pos());
}

TEST_F(Parser2Test, HugeOrNegativeLengthsNeverRead) {
    Parser2 p = over("abc");
    char dest[4];
    EXPECT_FALSE(p.remain(0x7FFFFFFF));
    EXPECT_FALSE(p.remain(-1));
    EXPECT_EQ(-1, p.mem(dest, -1));
    EXPECT_EQ(-1, p.mem(dest, 0x7FFFFFFF));
    EXPECT_EQ(0, p.pos());
}

}  // namespace
