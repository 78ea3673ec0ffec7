#include "p2p/Parser2.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>

namespace {

// Every read is checked against the bytes present and the destination's
// size; a read that fails leaves the position where it was.
class Parser2Test : public ::testing::Test {
protected:
    // Each parser gets its own copy, alive until the test ends.
    Parser2 over(const std::string& bytes) {
        const std::string& body = m_bodies.emplace_back(bytes);
        return Parser2(body.data(), static_cast<int>(body.size()));
    }

    std::list<std::string> m_bodies;
};

TEST_F(Parser2Test, FieldsReadUpToTheEndAndNoFurther) {
    Parser2 p = over("abcd");
    uint32_t v = 0;
    ASSERT_EQ(0, p.mem(&v, 4));
    EXPECT_FALSE(p.remain(1));
    uint8_t b = 0;
    EXPECT_EQ(-1, p.mem(&b, 1));
    EXPECT_EQ(PARSERERR_READDONE, p.m_lastError);
    EXPECT_EQ(4, p.pos());

    Parser2 shortOne = over("ab");
    EXPECT_EQ(-1, shortOne.mem(&v, 4));
    EXPECT_EQ(0, shortOne.pos());
}

TEST_F(Parser2Test, HugeOrNegativeLengthsNeverRead) {
    Parser2 p = over("abc");
    char dest[4];
    EXPECT_FALSE(p.remain(0x7FFFFFFF));
    EXPECT_FALSE(p.remain(-1));
    EXPECT_EQ(-1, p.mem(dest, -1));
    EXPECT_EQ(-1, p.mem(dest, 0x7FFFFFFF));
    EXPECT_EQ(0, p.pos());
    p.throwAway(100);
    EXPECT_EQ(3, p.pos());
    p.throwAway(-5);
    EXPECT_EQ(3, p.pos());
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

    Parser2 empty = over(std::string(1, '\0'));
    ASSERT_EQ(0, empty.sstr(dest, sizeof dest));
    EXPECT_STREQ("", dest);
    EXPECT_EQ(1, empty.pos());
}

// A length prefix that announces more than is there, or is cut off itself.
TEST_F(Parser2Test, LengthsPastTheEndFailWithoutMoving) {
    char dest[16];
    psstr_t ss;
    pstr_t s;
    Parser2 mem8 = over("\x05" "ab");
    EXPECT_EQ(-1, mem8.mem8(dest, 16));
    EXPECT_EQ(PARSERERR_READDONE, mem8.lastError());
    Parser2 view16 = over(std::string("\x04\x00" "abc", 5));
    EXPECT_EQ(-1, view16.ptstr(&s, 0, 0));
    EXPECT_EQ(PARSERERR_READDONE, view16.lastError());
    Parser2 view8 = over("\x04" "abc");
    EXPECT_EQ(-1, view8.ptsstr(&ss));
    EXPECT_EQ(0, ss.len());
    Parser2 halfPrefix = over("\x01");
    EXPECT_EQ(-1, halfPrefix.ptstr(&s));
    for (Parser2* p : {&mem8, &view16, &view8, &halfPrefix}) EXPECT_EQ(0, p->pos());

    Parser2 atEnd = over("ab");
    atEnd.throwAway(2);
    EXPECT_EQ(-1, atEnd.ptsstr(&ss));
    EXPECT_EQ(-1, atEnd.ptstr(&s));
    EXPECT_EQ(-1, atEnd.mem8(dest, 8));
}

}  // namespace
