// The message cipher (AES under a key derived from a passphrase through the
// key table) and base64: a key derivation quirk that clients depend on, the
// inputs it refuses, and the standard vectors.

#include "tolvex/crypt/ChatCrypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// The ciphertext of text under seed, or "<failed>".
std::string encrypt(const std::string& text, const char* seed) {
    std::vector<char> out(static_cast<size_t>(ChatCrypt::encryptedSize(static_cast<int>(text.size()))) + 1);
    int len = -1;
    if (ChatCrypt::dataCrypt_encrypt(text.data(), static_cast<int>(text.size()), out.data(),
                                     static_cast<int>(out.size()), &len, seed) != 1)
        return "<failed>";
    return std::string(out.data(), static_cast<size_t>(len));
}

std::string decrypt(const std::string& cipher, const char* seed) {
    std::vector<char> out(cipher.size() + 1, 'X');
    int len = -1;
    if (ChatCrypt::dataCrypt_decrypt(cipher.data(), static_cast<int>(cipher.size()), out.data(),
                                     static_cast<int>(out.size()), &len, seed) != 1)
        return "<failed>";
    if (out[static_cast<size_t>(len)] != '\0') return "<unterminated>";
    return std::string(out.data(), static_cast<size_t>(len));
}

TEST(ChatCryptTest, HighBytesIndexThroughTheirSignedValue) {
    // 0xFB widens to 0xFFFFFFFB, which selects index 150: the table's
    // terminator, so the key is all zeros and the first block is plain AES
    // of a zero block under a zero key.
    const std::string cipher = encrypt(std::string(16, '\0'), "\xFB");
    ASSERT_EQ(32u, cipher.size());
    const unsigned char expected[16] = {0x66, 0xE9, 0x4B, 0xD4, 0xEF, 0x8A, 0x2C, 0x3B,
                                        0x88, 0x4C, 0xFA, 0x59, 0xCA, 0x34, 0x2B, 0x2E};
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(expected), 16), cipher.substr(0, 16));

}

TEST(ChatCryptTest, RefusedInputsWriteNothing) {
    char out[32];
    std::memset(out, 'Z', sizeof out);
    int len = -1;
    EXPECT_EQ(1, ChatCrypt::dataCrypt_encrypt("", 0, out, sizeof out, &len, "seed"));  // empty data: empty output
    EXPECT_EQ(0, len);
    EXPECT_EQ(0, ChatCrypt::dataCrypt_encrypt("text", 4, out, sizeof out, &len, ""));
    EXPECT_EQ(0, ChatCrypt::dataCrypt_encrypt("text", 4, out, sizeof out, &len, nullptr));
    EXPECT_EQ(0, ChatCrypt::dataCrypt_encrypt("0123456789abcdefg", 17, out, 31, &len, "seed"));  // output too short
    EXPECT_EQ('Z', out[0]);
    const std::string cipher = encrypt("0123456789abcdefg", "seed");
    EXPECT_EQ(0, ChatCrypt::dataCrypt_decrypt(cipher.data(), 32, out, 31, &len, "seed"));
    EXPECT_EQ("<failed>", decrypt(cipher.substr(0, cipher.size() - 1), "seed"));  // broken ciphertext
}

TEST(ChatCryptTest, Base64MatchesTheStandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFE\xFF", "+/7/"},
        {std::string(1, '\0'), "AA=="}};
    for (const auto& [in, out] : vectors)
        EXPECT_EQ(out, ChatCrypt::base64_encode(in.data(), static_cast<int>(in.size()))) << out;
}

}  // namespace
