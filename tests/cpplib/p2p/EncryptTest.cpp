#include "p2p/Encrypt.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// The encrypted body for etype 1, or "<null>".
std::string encrypt(const std::string& in) {
    std::string out(static_cast<size_t>(Encrypt::AesEncryptSizeGuess(static_cast<int>(in.size()))), '\0');
    int outlen = -1;
    const char* r = P2P_Encrypt(1, in.data(), static_cast<int>(in.size()), out.data(), static_cast<int>(out.size()),
                                &outlen);
    return r ? std::string(r, static_cast<size_t>(outlen)) : "<null>";
}

std::string decrypt(const std::string& in) {
    std::string out(in.size(), '\0');
    int outlen = -1;
    const char* r = P2P_Decrypt(1, in.data(), static_cast<int>(in.size()), out.data(), static_cast<int>(out.size()),
                                &outlen);
    return r ? std::string(r, static_cast<size_t>(outlen)) : "<null>";
}

TEST(EncryptTest, ConcurrentCallersGetCorrectResults) {
    const std::string in(100, 'm');
    const std::string expected = encrypt(in);
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) ok[t] += encrypt(in) == expected && decrypt(expected) == in;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(std::vector<int>(4, 200), ok);
}

}  // namespace
