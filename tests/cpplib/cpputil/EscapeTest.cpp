#include "cpputil/Escape.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Output buffers are exact-size heap vectors with a guard byte after them,
// so a write past the promised bound shows up here and under ASan.
class UrlEscapeTest : public ::testing::Test {
protected:
    static constexpr char kGuard = '#';

    std::string urlEncoded(const std::string& text) {
        std::vector<char> out(3 * text.size() + 1);
        return encodeurl(out.data(), text.c_str());
    }

    // Encodes into a buffer of `size` bytes; returns the text, keeps the count.
    std::string boundedEncoded(int size, const std::string& text, int counted = -1) {
        std::vector<char> out(static_cast<size_t>(size) + 1, kGuard);
        m_returned = counted < 0 ? encodeurl2(out.data(), size, text.c_str())
                                 : encodeurl2(out.data(), size, text.data(), counted);
        EXPECT_EQ(kGuard, out[static_cast<size_t>(size)]) << "wrote past size";
        return std::string(out.data());
    }

    int m_returned = -1;
};

TEST_F(UrlEscapeTest, ExactlyTheSafeSetPassesUnchanged) {
    int kept = 0;
    for (int c = 1; c < 256; ++c) {
        const std::string one(1, static_cast<char>(c));
        if (urlEncoded(one) == one) ++kept;
    }
    EXPECT_EQ(74, kept);
    EXPECT_EQ("AZaz09!$'()*,-._/;", urlEncoded("AZaz09!$'()*,-._/;"));
    EXPECT_EQ("%22%23%25%2B%3A%3C%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D%7F%80%FF",
              urlEncoded("\"#%+:<>?@[\\]^`{|}\x7F\x80\xFF"));
}

TEST_F(UrlEscapeTest, BoundedEncodingStopsBeforeAnEscapeWouldCrowdTheEnd) {
    EXPECT_EQ("%20%20", boundedEncoded(10, std::string(9, ' ')));
    EXPECT_EQ(6, m_returned);
}

TEST_F(UrlEscapeTest, BoundedEncodingOfPlainTextKeepsThreeBytesSpare) {
    EXPECT_EQ("abcdef", boundedEncoded(10, "abcdefghijkl"));
    EXPECT_EQ(6, m_returned);
}

TEST_F(UrlEscapeTest, BoundedEncodingWithoutRoomWritesNothing) {
    EXPECT_EQ("", boundedEncoded(4, "abc"));
    EXPECT_EQ(0, m_returned);
    char out[8] = "keep";
    EXPECT_EQ(0, encodeurl2(out, 8, nullptr));
}

TEST_F(UrlEscapeTest, CountedEncodingEscapesZeroBytes) {
    const std::string withZero("a\0b", 3);
    EXPECT_EQ("a%00b", boundedEncoded(32, withZero, 3));
    EXPECT_EQ(5, m_returned);
}

}  // namespace
