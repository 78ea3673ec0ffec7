#include "cpputil/Escape.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct bounded_case_t {
    const char* name;
    int size;
    std::string text;
    int counted;  // -1: the text is a C string
    std::string expected;
};

void PrintTo(const bounded_case_t& c, std::ostream* os) {
    *os << c.name;
}

class BoundedUrlEscapeTest : public testing::TestWithParam<bounded_case_t> {};

// The output buffer is exactly `size` bytes with a guard byte after it, so a
// write past the promised bound shows up here and under ASan.
TEST_P(BoundedUrlEscapeTest, StopsBeforeAnEscapeWouldCrowdTheEnd) {
    const bounded_case_t& c = GetParam();
    std::vector<char> out(static_cast<size_t>(c.size) + 1, '#');
    const int n = c.counted < 0 ? encodeurl2(out.data(), c.size, c.text.c_str())
                                : encodeurl2(out.data(), c.size, c.text.data(), c.counted);
    EXPECT_EQ('#', out.back()) << "wrote past size";
    EXPECT_EQ(c.expected, std::string(out.data()));
    EXPECT_EQ(static_cast<int>(c.expected.size()), n);
}

INSTANTIATE_TEST_SUITE_P(Cases, BoundedUrlEscapeTest,
                         testing::Values(bounded_case_t{"EscapesStopThreeBytesShort", 10, std::string(9, ' '), -1, "%20%20"},
                                         bounded_case_t{"PlainTextStopsThreeBytesShort", 10, "abcdefghijkl", -1, "abcdef"},
                                         bounded_case_t{"NoRoomWritesNothing", 4, "abc", -1, ""},
                                         bounded_case_t{"CountedZeroByte", 32, std::string("a\0b", 3), 3, "a%00b"}));

}  // namespace
