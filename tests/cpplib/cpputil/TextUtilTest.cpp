#include "cpputil/TextUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(CntByteTest, LeadBytesAnnounceTheirSequenceLength) {
    EXPECT_EQ(1, cntByte(0x00));
    EXPECT_EQ(1, cntByte('A'));
    EXPECT_EQ(1, cntByte(0x7F));
    EXPECT_EQ(0, cntByte(0x80));  // continuation byte
    EXPECT_EQ(0, cntByte(0xBF));
    EXPECT_EQ(0, cntByte(0xC0));
    EXPECT_EQ(0, cntByte(0xC1));  // overlong lead
    EXPECT_EQ(2, cntByte(0xC2));
    EXPECT_EQ(2, cntByte(0xDF));
    EXPECT_EQ(3, cntByte(0xE0));
    EXPECT_EQ(3, cntByte(0xEF));
    EXPECT_EQ(4, cntByte(0xF0));
    EXPECT_EQ(4, cntByte(0xF7));
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

TEST(ItoaTest, ExtremesAndPerThreadBuffers) {
    EXPECT_STREQ("-2147483648", itoa(INT_MIN));
    const char* mine = itoa(7);
    std::thread other([] { EXPECT_STREQ("2147483647", itoa(INT_MAX)); });
    other.join();
    EXPECT_STREQ("7", mine);  // another thread's call leaves this one alone
}

TEST(TrimTest, TrimrightTakesLineEndsTrimright2AlsoBlanks) {
    char a[] = "value \t\r\n\n";
    trimright(a);
    EXPECT_STREQ("value \t", a);
    char b[] = "value \t\r\n";
    trimright2(b);
    EXPECT_STREQ("value", b);
    char c[] = "\r\n";
    trimright2(c);
    EXPECT_STREQ("", c);
}

class LineScanTest : public ::testing::Test {
protected:
    // Reads one line into a buffer of max + 1 bytes.
    std::string line(const char* src, int max) {
        std::vector<char> out(static_cast<size_t>(max) + 1);
        m_next = readline_str(src, out.data(), &m_len, max, &m_flags);
        return std::string(out.data());
    }

    int m_next = -1;
    int m_len = -1;
    int m_flags = -1;
};

TEST_F(LineScanTest, WalksCrLfAndLfLines) {
    const char* text = "one\r\ntwo\nthree";
    EXPECT_EQ("one", line(text, 16));
    EXPECT_EQ(5, m_next);
    EXPECT_EQ(1, m_flags);
    EXPECT_EQ("two", line(text + 5, 16));
    EXPECT_EQ(4, m_next);
    EXPECT_EQ("three", line(text + 9, 16));
    EXPECT_EQ(0, m_next);
    EXPECT_EQ(1 | 4, m_flags);
    EXPECT_EQ(5, m_len);
}

TEST_F(LineScanTest, LongLineIsCutAtMax) {
    EXPECT_EQ("abc", line("abcdef\nz", 3));
    EXPECT_EQ(3, m_len);
    EXPECT_EQ(7, m_next);
    EXPECT_EQ(1 | 2, m_flags);
}

TEST_F(LineScanTest, NullSource) {
    EXPECT_EQ("", line(nullptr, 3));
    EXPECT_EQ(8, m_flags);
    EXPECT_EQ(0, m_next);
}

TEST(GetValueTest, StopsAtSeparatorOrLineEnd) {
    char out[9];
    unsigned len = 0;
    EXPECT_EQ(0, getValue("key=value", out, &len, 8, '='));
    EXPECT_STREQ("key", out);
    EXPECT_EQ(3u, len);
    EXPECT_EQ(0, getValue("abc\r\n", out, &len, 8, '='));
    EXPECT_STREQ("abc", out);
}

TEST(GetValueTest, TooLongFieldFailsWithinBounds) {
    std::vector<char> out(5);
    unsigned len = 0;
    EXPECT_EQ(-1, getValue("abcdefgh", out.data(), &len, 4, ' '));
    EXPECT_STREQ("abcd", out.data());
    EXPECT_EQ(0, getValue("abcd", out.data(), &len, 4, ' '));
    EXPECT_EQ(4u, len);
}

// Length-prefixed strings come from the network; the fixture builds them.
class BinaryFieldTest : public ::testing::Test {
protected:
    static std::string prefixed16(const std::string& s) {
        const uint16_t n = static_cast<uint16_t>(s.size());
        std::string out(reinterpret_cast<const char*>(&n), 2);
        return out + s;
    }
    static std::string record(const std::string& name, const std::string& value, uint16_t trailer) {
        std::string out(1, static_cast<char>(name.size()));
        out += name + prefixed16(value);
        out.append(reinterpret_cast<const char*>(&trailer), 2);
        return out;
    }
};

TEST_F(BinaryFieldTest, StringThatFitsIsCopied) {
    const std::string wire = prefixed16("hello");
    char out[6];
    int err = -1;
    EXPECT_EQ(5, bin_getstring(out, 5, wire.data(), &err));
    EXPECT_EQ(0, err);
    EXPECT_STREQ("hello", out);
}

TEST_F(BinaryFieldTest, OverlongStringIsRefusedBeforeCopying) {
    const std::string wire = prefixed16("hello!");
    char out[6] = "xxxxx";
    int err = -1;
    EXPECT_EQ(0, bin_getstring(out, 5, wire.data(), &err));
    EXPECT_EQ(2, err);
    EXPECT_STREQ("xxxxx", out);

    const std::string shortWire = std::string(1, '\x06') + "hello!";
    EXPECT_EQ(0, bin_getsstring(out, 5, shortWire.data(), &err));
    EXPECT_EQ(2, err);
    EXPECT_EQ(3, bin_getsstring(out, 5, (std::string(1, '\x03') + "abc").data(), &err));
    EXPECT_STREQ("abc", out);
}

TEST_F(BinaryFieldTest, RecordWalkEndsExactlyAtLength) {
    const std::string wire = record("id", "kim", 7) + record("room", "", 9);
    vlbp_iterator_t it;
    ASSERT_TRUE(vlbp_begin(&it, wire.data(), static_cast<unsigned short>(wire.size())));
    EXPECT_EQ("id", std::string(it.name, it.nameLen));
    EXPECT_EQ("kim", std::string(it.value, it.valueLen));
    EXPECT_EQ(7, it.trailer);
    ASSERT_TRUE(vlbp_next(&it));
    EXPECT_EQ("room", std::string(it.name, it.nameLen));
    EXPECT_EQ(0, it.valueLen);
    EXPECT_EQ(9, it.trailer);
    EXPECT_FALSE(vlbp_next(&it));
    EXPECT_EQ(nullptr, it.name);
    EXPECT_FALSE(vlbp_next(&it));  // walking on after the end stays at the end
}

TEST_F(BinaryFieldTest, RecordRunningPastLengthEndsTheWalk) {
    const std::string wire = record("id", "kim", 7) + record("room", "12345", 9);
    vlbp_iterator_t it;
    ASSERT_TRUE(vlbp_begin(&it, wire.data(), static_cast<unsigned short>(wire.size() - 3)));
    EXPECT_FALSE(vlbp_next(&it));
    EXPECT_EQ(nullptr, it.name);

    EXPECT_FALSE(vlbp_begin(&it, wire.data(), 2));  // even the first one is cut
}

}  // namespace
