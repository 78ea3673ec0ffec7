// The form reader on what the daemon and other clients may send; the pages'
// own refusals are in MalformedRequestTest.
#include "was/FormBody.h"

#include <gtest/gtest.h>

#include "was/RequestError.h"

namespace {

TEST(FormBodyTest, IdsMustBeNonEmptyWithoutZeroBytes) {
    EXPECT_THROW(FormBody::parse("x=1").id("id", 10), RequestError);
    EXPECT_THROW(FormBody::parse("id=").id("id", 10), RequestError);
    EXPECT_THROW(FormBody::parse("id=a%00b").id("id", 10), RequestError);
}

TEST(FormBodyTest, NumbersPrintedSignedComeBackAsTheirUnsignedBitsAndOthersAreRefused) {
    FormBody form = FormBody::parse("a=-1&b=4294967295&c=-2147483648&d=7&e=4294967296&f=12a&g=&h=0&i=2147483648&j=+1");
    EXPECT_EQ(4294967295u, form.u32("a"));
    EXPECT_EQ(4294967295u, form.u32("b"));
    EXPECT_EQ(2147483648u, form.u32("c"));
    EXPECT_EQ(7u, form.nonZeroU32("d"));
    for (const char* name : {"e", "f", "g", "j"}) EXPECT_THROW(form.u32(name), RequestError) << name;
    EXPECT_THROW(form.nonZeroU32("h"), RequestError);
    EXPECT_THROW(form.i32("i"), RequestError);
    EXPECT_EQ(9u, form.optionalU32("absent", 9));
}

}  // namespace
