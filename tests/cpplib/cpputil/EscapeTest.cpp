#include "cpputil/Escape.h"

#include <gtest/gtest.h>

#include <cstring>
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

    std::string urlDecoded(int size, const std::string& text) {
        std::vector<char> out(static_cast<size_t>(size) + 1, kGuard);
        decodeurl(out.data(), size, text.c_str());
        EXPECT_EQ(kGuard, out[static_cast<size_t>(size)]) << "wrote past size";
        return std::string(out.data());
    }

    int m_returned = -1;
};

TEST_F(UrlEscapeTest, FormSeparatorsAndSpacesAreEscaped) {
    EXPECT_EQ("a%20b%26c%3Dd", urlEncoded("a b&c=d"));
}

TEST_F(UrlEscapeTest, TildeIsEscapedButSlashAndSemicolonAreKept) {
    EXPECT_EQ("%7E", urlEncoded("~"));
    EXPECT_EQ("/;", urlEncoded("/;"));
}

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

TEST_F(UrlEscapeTest, NullSourceGivesEmptyText) {
    char out[4] = "xyz";
    EXPECT_STREQ("", encodeurl(out, nullptr));
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

TEST_F(UrlEscapeTest, DecodingTurnsPlusIntoSpaceAndHexIntoBytes) {
    EXPECT_EQ("a b,", urlDecoded(16, "a+b%2C"));
    EXPECT_EQ("a,", urlDecoded(16, "a%2c"));
}

TEST_F(UrlEscapeTest, DecodingIsBoundedAndAlwaysTerminated) {
    EXPECT_EQ("abc", urlDecoded(4, "abcdefgh"));
    EXPECT_EQ("ab", urlDecoded(4, "ab"));
}

TEST_F(UrlEscapeTest, TruncatedEscapeEndsTheInput) {
    EXPECT_EQ("ab", urlDecoded(16, "ab%4"));
    EXPECT_EQ("ab", urlDecoded(16, "ab%"));
}

TEST_F(UrlEscapeTest, PercentWithoutHexDigitsIsKeptLiterally) {
    EXPECT_EQ("100%zz", urlDecoded(16, "100%zz"));
}

TEST(XmlEscapeTest, FiveSpecialCharactersRoundTrip) {
    const char* input = "<>&\"'x";
    char encoded[64];
    EXPECT_STREQ("&lt;&gt;&amp;&quot;&apos;x", encodexml(encoded, input));
    char decoded[64];
    EXPECT_STREQ(input, decodexml(decoded, encoded));
}

TEST(XmlEscapeTest, StrayAmpersandIsDropped) {
    char decoded[32];
    EXPECT_STREQ("a b;c", decodexml(decoded, "a &b;c"));
}

// The XML scanners are used on WAS replies, so bounds matter more than format.
class XmlScanTest : public ::testing::Test {
protected:
    int attr(const char* xml, const char* key, int min, int max) {
        m_out.assign(static_cast<size_t>(max) + 1, '?');
        return _xml_get_attr_val(xml, key, nullptr, m_out.data(), min, max);
    }
    int tag(const char* xml, const char* open, const char* close, int min, int max) {
        m_out.assign(static_cast<size_t>(max) + 1, '?');
        return _xml_get_tag_val(xml, open, close, m_out.data(), min, max);
    }
    std::string out() const { return std::string(m_out.data()); }

    std::vector<char> m_out;
};

TEST_F(XmlScanTest, AttributeValueInEitherQuote) {
    EXPECT_EQ(0, attr("<row id=\"42\" name='kim'>", "name=", 0, 8));
    EXPECT_EQ("kim", out());
    EXPECT_EQ(0, attr("<row id=\"42\" name='kim'>", "id=", 0, 8));
    EXPECT_EQ("42", out());
}

TEST_F(XmlScanTest, AttributeFailuresLeaveOutputEmpty) {
    EXPECT_EQ(1, attr("<row id=\"42\">", "name=", 0, 8));
    EXPECT_EQ("", out());
    EXPECT_EQ(1, attr("<row id=42><x a=\"1\">", "id=", 0, 8));  // quote after '>'
    EXPECT_EQ(2, attr("<row id=\"42", "id=", 0, 8));             // no '>'
    EXPECT_EQ(2, attr("<row id=\"42>", "id=", 0, 8));            // no closing quote
    EXPECT_EQ(3, attr("<row id=\"4\">", "id=", 2, 8));
    EXPECT_EQ(4, attr("<row id=\"123456789\">", "id=", 0, 8));
    EXPECT_EQ("", out());
}

TEST_F(XmlScanTest, TagValueBetweenOpenAndClose) {
    EXPECT_EQ(0, tag("<a><room id=\"1\">R-7</room></a>", "<room", "</room>", 1, 8));
    EXPECT_EQ("R-7", out());
}

TEST_F(XmlScanTest, TagValueFailures) {
    EXPECT_EQ(1, tag("<a>x</a>", "<room", "</room>", 0, 8));
    EXPECT_EQ(2, tag("<room", "<room", "</room>", 0, 8));
    EXPECT_EQ(2, tag("<room>abc", "<room", "</room>", 0, 8));
    EXPECT_EQ(3, tag("<room></room>", "<room", "</room>", 1, 8));
    EXPECT_EQ(4, tag("<room>123456789</room>", "<room", "</room>", 0, 8));
    EXPECT_EQ("", out());
}

TEST(XmlPatchArrayTest, FindsTheSpanAfterScope) {
    const char* xml = "<a><row>1</row></a><list><row>2</row><row>3</row></list>";
    int len = 0;
    int err = -1;
    const char* at = _xml_patch_array(xml, "<list>", "<row>", "</row>", &len, &err);
    ASSERT_NE(nullptr, at);
    EXPECT_EQ("<row>2</row>", std::string(at, static_cast<size_t>(len)));

    at = _xml_patch_array(xml, nullptr, "<row>", "</row>", &len, nullptr);
    ASSERT_NE(nullptr, at);
    EXPECT_EQ("<row>1</row>", std::string(at, static_cast<size_t>(len)));
}

TEST(XmlPatchArrayTest, ReportsWhatIsMissing) {
    int err = 0;
    EXPECT_EQ(nullptr, _xml_patch_array("<a>", "<list>", "<row>", "</row>", nullptr, &err));
    EXPECT_EQ(1, err);
    EXPECT_EQ(nullptr, _xml_patch_array("<a>", nullptr, "<row>", "</row>", nullptr, &err));
    EXPECT_EQ(1, err);
    EXPECT_EQ(nullptr, _xml_patch_array("<row>1", nullptr, "<row>", "</row>", nullptr, &err));
    EXPECT_EQ(2, err);
}

}  // namespace
