#include "cpputil/TextUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CntByteTest, LeadBytesAnnounceTheirSequenceLength) {
    EXPECT_EQ(1, cntByte('A'));
    EXPECT_EQ(0, cntByte(0x80));  // continuation byte
    EXPECT_EQ(0, cntByte(0xC1));  // overlong lead
    EXPECT_EQ(2, cntByte(0xC2));
    EXPECT_EQ(3, cntByte(0xE0));
    EXPECT_EQ(4, cntByte(0xF0));
    EXPECT_EQ(5, cntByte(0xFB));
    EXPECT_EQ(6, cntByte(0xFD));
    EXPECT_EQ(0, cntByte(0xFE));
    EXPECT_EQ(0, cntByte(0xFF));
}

// The push preview cuts a message to its first characters; positions come back
// through out-parameters, which the fixture collects.
class SubStrTest : public ::testing::Test {
protected:
    // Copies into an exact-size heap buffer so ASan sees any overrun.
    std::string cut(const std::string& src, int start, int count, size_t dstSize) {
        std::vector<char> heapSrc(src.begin(), src.end());
        heapSrc.push_back('\0');
        std::vector<char> dst(dstSize);
        subStr(heapSrc.data(), start, count, dst.data(), &m_bytePos, &m_charPos, &m_tail);
        return std::string(dst.data());
    }

    static std::string hangul(int chars) {
        std::string s;
        for (int i = 0; i < chars; ++i) s += "\xEA\xB0\x80";  // U+AC00, 3 bytes
        return s;
    }

    int m_bytePos = -1;
    int m_charPos = -1;
    int m_tail = -1;
};

TEST_F(SubStrTest, FirstTwentyOneOfThirtyCharacters) {
    EXPECT_EQ(hangul(21), cut(hangul(30), 0, 21, 21 * 3 + 1));
    EXPECT_EQ(20, m_charPos);
    EXPECT_EQ(60, m_bytePos);
    EXPECT_EQ(90 + 3, m_tail);  // whole text walked: length plus last character
}

TEST_F(SubStrTest, MiddleRangeOfMixedWidths) {
    EXPECT_EQ("b\xC3\xA9", cut("a" "b" "\xC3\xA9" "c", 1, 2, 4));
    EXPECT_EQ(2, m_charPos);
    EXPECT_EQ(2, m_bytePos);
}

TEST_F(SubStrTest, InvalidLeadCountsAsOneCharacter) {
    EXPECT_EQ("a\x80" "b", cut("a\x80" "bc", 0, 3, 4));
    EXPECT_EQ(2, m_charPos);
}

TEST_F(SubStrTest, SequenceCutByTheEndIsNotReadPast) {
    EXPECT_EQ("ab\xE0", cut("ab\xE0", 0, 5, 4));
    EXPECT_EQ(2, m_charPos);
    EXPECT_EQ(4, m_tail);
}

TEST_F(SubStrTest, EmptySourceLeavesTailAlone) {
    EXPECT_EQ("", cut("", 0, 21, 1));
    EXPECT_EQ(-1, m_tail);
    EXPECT_EQ(-1, m_charPos);
}

}  // namespace
