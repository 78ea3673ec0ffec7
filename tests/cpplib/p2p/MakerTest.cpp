#include "p2p/Maker.h"

#include <gtest/gtest.h>


namespace {

// A field that does not fit, or has a length no prefix can carry, writes
// nothing at all.
TEST(MakerTest, AppendsThatDoNotFitWriteNothing) {
    char buf[16] = {};
    buf[8] = 'K';
    Maker m(buf, 10);
    ASSERT_EQ(0, m.mem16("123456", 6));
    EXPECT_EQ(-1, m.mem("xyz", 3));
    EXPECT_EQ('K', buf[8]);
    EXPECT_EQ(-1, m.mem16("x", 1));
    ASSERT_EQ(0, m.mem16("", 0));  // exactly fills the capacity
    EXPECT_EQ(10, m.len());
    EXPECT_EQ(-1, m.mem16("", 0));  // the prefix alone needs two bytes
    EXPECT_EQ(0, m.mem("", 0));

    Maker wide(buf, sizeof buf);
    EXPECT_EQ(-1, wide.mem("a", -1));
    EXPECT_EQ(-1, wide.mem16("a", -1));
    EXPECT_EQ(-1, wide.mem16("a", 70000));
    EXPECT_EQ(0, wide.len());
}

}  // namespace
