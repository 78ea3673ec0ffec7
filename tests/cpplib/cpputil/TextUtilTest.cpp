#include "cpputil/TextUtil.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct cut_case_t {
    const char* name;
    std::string src;
    int start;
    int count;
    size_t dstSize;  // exactly what the caller promises to have room for
    std::string expected;
    int charPos;  // of the last copied character (-1: none)
    int tail;     // -1: untouched
};

void PrintTo(const cut_case_t& c, std::ostream* os) {
    *os << c.name;
}

// The push preview cuts a message (client text, so any bytes at all) to its
// first characters.
class SubStrTest : public testing::TestWithParam<cut_case_t> {};

TEST_P(SubStrTest, CopiesWholeCharactersWithinTheDestination) {
    const cut_case_t& c = GetParam();
    // Exact-size heap copies, so ASan sees any overrun of either side.
    std::vector<char> src(c.src.begin(), c.src.end());
    src.push_back('\0');
    std::vector<char> dst(c.dstSize);
    int bytePos = -1, charPos = -1, tail = -1;
    subStr(src.data(), c.start, c.count, dst.data(), &bytePos, &charPos, &tail);
    EXPECT_EQ(c.expected, std::string(dst.data()));
    EXPECT_EQ(c.charPos, charPos);
    EXPECT_EQ(c.tail, tail);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubStrTest,
    testing::Values(
        // The whole text is walked: the tail is its length plus its last character's.
        cut_case_t{"MiddleOfMixedWidths", "ab\xC3\xA9" "c", 1, 2, 4, "b\xC3\xA9", 2, 6},
        cut_case_t{"StrayByteCountsAsOne", "a\x80" "bc", 0, 3, 4, "a\x80" "b", 2, 5},
        cut_case_t{"SequenceCutByTheEnd", "ab\xE0", 0, 5, 4, "ab\xE0", 2, 4},
        cut_case_t{"Empty", "", 0, 21, 1, "", -1, -1}));

}  // namespace
