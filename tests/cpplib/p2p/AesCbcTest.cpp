#include "p2p/AesCbc.h"

#include <gtest/gtest.h>

#include <string>

#include "client/Packet.h"

namespace {

const unsigned char kZeroKey[16] = {};

TEST(AesCbcTest, ZeroKeyZeroBlockMatchesTheKnownAnswer) {
    // AES-128 of a zero block under a zero key; CBC with a zero IV leaves the
    // first block as plain AES.
    const std::string zeros(16, '\0');
    unsigned char out[32];
    AesCbc::CtxPtr ctx = AesCbc::newCtx();
    ASSERT_EQ(32, AesCbc::encrypt(ctx.get(), kZeroKey, zeros.data(), 16, out, sizeof out));
    EXPECT_EQ("66 E9 4B D4 EF 8A 2C 3B 88 4C FA 59 CA 34 2B 2E",
              client::toHex(std::string(reinterpret_cast<char*>(out), 16)));
}

TEST(AesCbcTest, RefusesBuffersTooSmallForThePadding) {
    const std::string in(32, 'a');
    unsigned char out[48];
    AesCbc::CtxPtr ctx = AesCbc::newCtx();
    EXPECT_EQ(-1, AesCbc::encrypt(ctx.get(), kZeroKey, in.data(), 32, out, 47));
    ASSERT_EQ(48, AesCbc::encrypt(ctx.get(), kZeroKey, in.data(), 32, out, 48));
    unsigned char back[48];
    EXPECT_EQ(-1, AesCbc::decrypt(ctx.get(), kZeroKey, out, 48, back, 47));
    EXPECT_EQ(32, AesCbc::decrypt(ctx.get(), kZeroKey, out, 48, back, 48));
}

}  // namespace
