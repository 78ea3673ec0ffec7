#include "p2p/Maker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "p2p/Parser2.h"

namespace {

class MakerTest : public ::testing::Test {
protected:
    std::string written(const Maker& m) const { return std::string(m_buf, static_cast<size_t>(m.len())); }

    char m_buf[64] = {};
};

TEST_F(MakerTest, Mem16FillingCapacityLeavesNoRoom) {
    Maker m(m_buf, 10);
    ASSERT_EQ(0, m.mem16("12345678", 8));
    EXPECT_EQ(10, m.len());
    EXPECT_EQ(-1, m.mem("x", 1));
    EXPECT_EQ(-1, m.mem16("x", 1));
    EXPECT_EQ(-1, m.mem16("", 0));  // the prefix alone needs two bytes
    EXPECT_EQ(0, m.mem("", 0));
    EXPECT_EQ(10, m.len());
}

TEST_F(MakerTest, FailedAppendWritesNothing) {
    m_buf[4] = 'K';
    Maker m(m_buf, 6);
    ASSERT_EQ(0, m.mem("abcd", 4));
    EXPECT_EQ(-1, m.mem("xyz", 3));
    EXPECT_EQ('K', m_buf[4]);
    EXPECT_EQ("abcd", written(m));
}

TEST_F(MakerTest, FieldsReadBackWithTheParser) {
    Maker m(m_buf, sizeof m_buf);
    const uint32_t roomId = 0x01020304;
    const uint16_t code = 515;
    m.mem(&roomId, 4);
    m.mem(&code, 2);
    m.mem16("user@tenant", 11);

    Parser2 p(m_buf, m.len());
    uint32_t room = 0;
    uint16_t c = 0;
    pstr_t user;
    ASSERT_EQ(0, p.mem(&room, 4));
    ASSERT_EQ(0, p.mem(&c, 2));
    ASSERT_EQ(0, p.ptstr(&user));
    EXPECT_EQ(roomId, room);
    EXPECT_EQ(code, c);
    EXPECT_EQ("user@tenant", std::string(user.c_str(), user.len()));
    EXPECT_EQ("\x03\x02", written(m).substr(4, 2));
}

TEST_F(MakerTest, NegativeOrOversizedLengthsAreRefused) {
    Maker m(m_buf, sizeof m_buf);
    EXPECT_EQ(-1, m.mem("a", -1));
    EXPECT_EQ(-1, m.mem16("a", -1));
    EXPECT_EQ(-1, m.mem16("a", 70000));
    EXPECT_EQ(0, m.len());
}

}  // namespace
