#include "p2p/P2PPacket.h"

#include <gtest/gtest.h>

#include <string>

#include "cpputil/IOBuffer.h"

namespace {

// What writeTo puts on the wire.
std::string wire(const P2PPacket& p) {
    IOBuffer buf(0);
    if (p.writeTo(&buf) != 0) return "<writeTo failed>";
    return std::string(buf.data(), static_cast<size_t>(buf.getDataSize()));
}

class P2PPacketTest : public ::testing::Test {
protected:
    // A reply to a request of the given etype, carrying body.
    P2PPacket replyWithBody(uint8_t etype, const std::string& body) {
        p2p_header_t req{};
        req.make2(3088, "", 0, "", 0, 5, 0, etype);
        P2PPacket res;
        req.getResHeader(&res.m_h);
        m_body = body;
        res.setBody(m_body.data(), static_cast<int>(m_body.size()));
        return res;
    }

    std::string m_body;
};

TEST_F(P2PPacketTest, WriteToRefusesAHeaderOutOfBoundsOrAMissingBody) {
    IOBuffer buf(64);
    P2PPacket p;
    p.m_h.make2(3089, "", 0, "", 0, 0, 0, 0);
    p.m_h.hlen = 533;
    EXPECT_EQ(-1, p.writeTo(&buf));
    p.m_h.hlen = 18;
    p.m_h.blen = 4;  // no body pointer
    EXPECT_EQ(-1, p.writeTo(&buf));
    EXPECT_EQ(0, buf.getDataSize());
}

TEST_F(P2PPacketTest, LargestBodyThatCannotGrowByPaddingIsRefused) {
    // 65,535 bytes pad to 65,536, which no blen can announce.
    P2PPacket res = replyWithBody(1, std::string(65535, 'z'));
    EXPECT_EQ(-1, res.doEncrypt());
    P2PPacket fits = replyWithBody(1, std::string(65519, 'z'));
    ASSERT_EQ(0, fits.doEncrypt());
    EXPECT_EQ(65520, fits.m_h.blen);
}

TEST_F(P2PPacketTest, CopyOfEncryptedPacketOwnsItsCiphertext) {
    P2PPacket original = replyWithBody(1, std::string(33, 'q'));
    ASSERT_EQ(0, original.doEncrypt());
    const std::string expected = wire(original);
    P2PPacket copy(original);
    original.clear();
    EXPECT_EQ(expected, wire(copy));
    EXPECT_NE(original.m_body, copy.m_body);
}

}  // namespace
