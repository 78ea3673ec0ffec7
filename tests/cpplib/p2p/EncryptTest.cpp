#include "p2p/Encrypt.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class EncryptTest : public ::testing::Test {
protected:
    // The encrypted body for etype, or "<null>".
    static std::string encrypt(int etype, const std::string& in) {
        std::string out(static_cast<size_t>(Encrypt::AesEncryptSizeGuess(static_cast<int>(in.size()))), '\0');
        int outlen = -1;
        const char* r = P2P_Encrypt(etype, in.data(), static_cast<int>(in.size()), out.data(),
                                    static_cast<int>(out.size()), &outlen);
        return r ? std::string(r, static_cast<size_t>(outlen)) : "<null>";
    }

    static std::string decrypt(const std::string& in) {
        std::string out(in.size(), '\0');
        int outlen = -1;
        const char* r = P2P_Decrypt(1, in.data(), static_cast<int>(in.size()), out.data(),
                                    static_cast<int>(out.size()), &outlen);
        return r ? std::string(r, static_cast<size_t>(outlen)) : "<null>";
    }
};

TEST_F(EncryptTest, UpToSixteenBytesAreCopiedInClear) {
    EXPECT_EQ("0123456789abcdef", encrypt(1, "0123456789abcdef"));
    EXPECT_EQ("x", encrypt(1, "x"));
}

TEST_F(EncryptTest, LongerBodiesArePaddedToWholeBlocksAndDecryptBack) {
    for (int n : {17, 31, 32, 33, 1000, 65519}) {
        const std::string in(static_cast<size_t>(n), static_cast<char>('a' + n % 26));
        const std::string cipher = encrypt(1, in);
        ASSERT_EQ(static_cast<size_t>((n / 16 + 1) * 16), cipher.size()) << n;
        EXPECT_EQ(in, decrypt(cipher)) << n;
    }
}

TEST_F(EncryptTest, UnknownTypeOrShortBufferGivesNull) {
    const std::string in(40, 'k');
    char out[48];
    int outlen = -7;
    EXPECT_EQ(nullptr, P2P_Encrypt(2, in.data(), 40, out, sizeof out, &outlen));
    EXPECT_EQ(nullptr, P2P_Encrypt(255, in.data(), 40, out, sizeof out, &outlen));
    EXPECT_EQ(nullptr, P2P_Encrypt(1, in.data(), 40, out, 47, &outlen));
    EXPECT_EQ(nullptr, P2P_Encrypt(1, in.data(), 40, out, sizeof out, nullptr));
    EXPECT_EQ(-7, outlen);
}

TEST_F(EncryptTest, CorruptCiphertextIsRejected) {
    std::string cipher = encrypt(1, std::string(40, 'k'));
    EXPECT_EQ("<null>", decrypt(cipher.substr(0, 40)));  // not whole blocks
    cipher.back() = static_cast<char>(cipher.back() ^ 0x5A);
    const std::string back = decrypt(cipher);
    EXPECT_NE(std::string(40, 'k'), back);
}

TEST_F(EncryptTest, ConcurrentCallersGetCorrectResults) {
    const std::string in(100, 'm');
    const std::string expected = encrypt(1, in);
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) ok[t] += encrypt(1, in) == expected && decrypt(expected) == in;
        });
    for (auto& th : threads) th.join();
    for (int n : ok) EXPECT_EQ(200, n);
}

}  // namespace
