#include "was/FormBody.h"

#include <gtest/gtest.h>

#include "WasHarness.h"
#include "was/RequestError.h"

namespace {

class FormBodyTest : public ::testing::Test {
protected:
    // The code and text a page would answer for this body, or 0 when it parses.
    static uint16_t refusalOf(const std::string& body, std::string* text = nullptr) {
        try {
            FormBody::parse(body);
            return 0;
        } catch (const RequestError& e) {
            if (text) *text = e.what();
            return e.code();
        }
    }
    static FormBody formOf(const std::string& field, const std::string& bytes) {
        return FormBody::parse(field + "=" + daemonEncode(bytes));
    }
};

TEST_F(FormBodyTest, CountedBytesWithZerosDecodeExactly) {
    const std::string bytes = bytesOf("a\0b c&=%+\x01\xEA\xB0\x80");
    EXPECT_EQ(bytes, formOf("msg", bytes).bytes("msg", 100));
}

TEST_F(FormBodyTest, SpaceArrivesAsPercent20AndPlusAsEscape) {
    FormBody form = FormBody::parse("a=x%20y&b=1%2B1&c=p+q");
    EXPECT_EQ("x y", form.bytes("a", 10));
    EXPECT_EQ("1+1", form.bytes("b", 10));
    EXPECT_EQ("p q", form.bytes("c", 10));  // form convention; the daemon never sends a bare "+"
}

TEST_F(FormBodyTest, LowerCaseHexIsAccepted) {
    EXPECT_EQ("\xea\xb0", FormBody::parse("a=%ea%b0").bytes("a", 10));
}

TEST_F(FormBodyTest, BrokenEscapesAreRefused) {
    for (const char* body : {"a=%4", "a=%G1", "a=x%", "a=%%41", "%zz=1"})
        EXPECT_EQ(WAS_BAD_REQUEST, refusalOf(body)) << body;
}

TEST_F(FormBodyTest, PairWithoutValueAndRepeatedFieldAreRefused) {
    std::string text;
    EXPECT_EQ(WAS_BAD_REQUEST, refusalOf("a=1&b", &text));
    EXPECT_NE(std::string::npos, text.find("b"));
    EXPECT_EQ(WAS_BAD_REQUEST, refusalOf("a=1&a=1", &text));
    EXPECT_NE(std::string::npos, text.find("twice"));
}

TEST_F(FormBodyTest, EmptyPairsAndEmptyBodyAreSkipped) {
    FormBody form = FormBody::parse("&a=1&&b=&");
    EXPECT_EQ("1", form.bytes("a", 10));
    EXPECT_EQ("", form.bytes("b", 10));
    EXPECT_FALSE(FormBody::parse("").has("a"));
}

TEST_F(FormBodyTest, LargestLegalLengthPassesAndOneMoreIsRefused) {
    const std::string longest(255, 'u');
    EXPECT_EQ(longest, formOf("id", longest).id("id", 255));
    try {
        formOf("id", longest + "u").id("id", 255);
        FAIL() << "over-long id accepted";
    } catch (const RequestError& e) {
        EXPECT_EQ(WAS_BAD_REQUEST, e.code());
        EXPECT_STREQ("field id too long", e.what());
    }
}

TEST_F(FormBodyTest, MissingEmptyOrZeroByteIdsAreRefused) {
    EXPECT_THROW(FormBody::parse("x=1").id("id", 10), RequestError);
    EXPECT_THROW(FormBody::parse("id=").id("id", 10), RequestError);
    EXPECT_THROW(FormBody::parse("id=a%00b").id("id", 10), RequestError);
    EXPECT_EQ("", FormBody::parse("x=1").optionalText("id", 10));
}

TEST_F(FormBodyTest, NumbersPrintedSignedComeBackAsTheirUnsignedBits) {
    FormBody form = FormBody::parse("a=-1&b=4294967295&c=-2147483648&d=7");
    EXPECT_EQ(4294967295u, form.u32("a"));
    EXPECT_EQ(4294967295u, form.u32("b"));
    EXPECT_EQ(2147483648u, form.u32("c"));
    EXPECT_EQ(7u, form.nonZeroU32("d"));
}

TEST_F(FormBodyTest, NumbersOutOfRangeOrNotDecimalAreRefused) {
    FormBody form = FormBody::parse("a=4294967296&b=12a&c=&d=0&e=2147483648&f=+1");
    for (const char* name : {"a", "b", "c", "f"}) EXPECT_THROW(form.u32(name), RequestError) << name;
    EXPECT_THROW(form.nonZeroU32("d"), RequestError);
    EXPECT_THROW(form.i32("e"), RequestError);
    EXPECT_EQ(9u, form.optionalU32("absent", 9));
}

}  // namespace
