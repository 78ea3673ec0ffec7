#include "tolvex/crypt/ChatCrypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class ChatCryptTest : public ::testing::Test {
protected:
    // The ciphertext of text under seed, or "<failed>".
    static std::string encrypt(const std::string& text, const char* seed) {
        std::vector<char> out(static_cast<size_t>(ChatCrypt::encryptedSize(static_cast<int>(text.size()))) + 1);
        int len = -1;
        if (ChatCrypt::dataCrypt_encrypt(text.data(), static_cast<int>(text.size()), out.data(),
                                         static_cast<int>(out.size()), &len, seed) != 1)
            return "<failed>";
        return std::string(out.data(), static_cast<size_t>(len));
    }

    static std::string decrypt(const std::string& cipher, const char* seed) {
        std::vector<char> out(cipher.size() + 1, 'X');
        int len = -1;
        if (ChatCrypt::dataCrypt_decrypt(cipher.data(), static_cast<int>(cipher.size()), out.data(),
                                         static_cast<int>(out.size()), &len, seed) != 1)
            return "<failed>";
        if (out[static_cast<size_t>(len)] != '\0') return "<unterminated>";
        return std::string(out.data(), static_cast<size_t>(len));
    }

    static std::string b64(const std::string& s) {
        return ChatCrypt::base64_encode(s.data(), static_cast<int>(s.size()));
    }
};

TEST_F(ChatCryptTest, RoundTripsTextsOfEveryPaddingLength) {
    for (int n = 1; n <= 48; ++n) {
        const std::string text(static_cast<size_t>(n), static_cast<char>('A' + n % 26));
        const std::string cipher = encrypt(text, "room-secret");
        ASSERT_EQ(static_cast<size_t>((n / 16 + 1) * 16), cipher.size()) << n;
        EXPECT_EQ(text, decrypt(cipher, "room-secret")) << n;
    }
}

TEST_F(ChatCryptTest, DifferentPassphraseDoesNotDecrypt) {
    const std::string text = "{\"msg\":\"hello there\"}";
    const std::string cipher = encrypt(text, "alpha");
    EXPECT_NE(cipher, encrypt(text, "bravo"));
    EXPECT_NE(text, decrypt(cipher, "bravo"));
}

TEST_F(ChatCryptTest, EmptyDataGivesEmptyOutputAndWritesNothing) {
    char out[16];
    std::memset(out, 'Z', sizeof out);
    int len = -1;
    EXPECT_EQ(1, ChatCrypt::dataCrypt_encrypt("", 0, out, sizeof out, &len, "seed"));
    EXPECT_EQ(0, len);
    EXPECT_EQ('Z', out[0]);
}

TEST_F(ChatCryptTest, OneCharacterPassphraseFillsEveryKeyPosition) {
    const std::string text = "the same key sixteen times over";
    EXPECT_EQ(encrypt(text, "k"), encrypt(text, "kkkkkkkkkkkkkkkk"));
    unsigned char key[ChatCrypt::kKeyLen];
    ASSERT_TRUE(ChatCrypt::dataCrypt_init("k", key));
    for (unsigned char b : key) EXPECT_EQ(static_cast<unsigned char>(ChatCrypt::szDefaultKeyTable['k']), b);
}

TEST_F(ChatCryptTest, PassphraseCyclesOverTheKey) {
    const std::string text = "cycling passphrase check";
    EXPECT_EQ(encrypt(text, "abc"), encrypt(text, "abcabcabcabcabca"));
    EXPECT_NE(encrypt(text, "abc"), encrypt(text, "abd"));
}

TEST_F(ChatCryptTest, HighBytesIndexThroughTheirSignedValue) {
    // 0xFB widens to 0xFFFFFFFB, which selects index 150: the table's
    // terminator, so the key is all zeros and the first block is plain AES
    // of a zero block under a zero key.
    const std::string cipher = encrypt(std::string(16, '\0'), "\xFB");
    ASSERT_EQ(32u, cipher.size());
    const unsigned char expected[16] = {0x66, 0xE9, 0x4B, 0xD4, 0xEF, 0x8A, 0x2C, 0x3B,
                                        0x88, 0x4C, 0xFA, 0x59, 0xCA, 0x34, 0x2B, 0x2E};
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(expected), 16), cipher.substr(0, 16));

    unsigned char key[ChatCrypt::kKeyLen];
    ASSERT_TRUE(ChatCrypt::dataCrypt_init("\xC3", key));
    EXPECT_EQ(static_cast<unsigned char>(ChatCrypt::szDefaultKeyTable[94]), key[0]);
}

TEST_F(ChatCryptTest, EmptyPassphraseIsRefused) {
    char out[32];
    int len = -1;
    EXPECT_EQ(0, ChatCrypt::dataCrypt_encrypt("text", 4, out, sizeof out, &len, ""));
    EXPECT_EQ(0, len);
    EXPECT_EQ(0, ChatCrypt::dataCrypt_encrypt("text", 4, out, sizeof out, &len, nullptr));
}

TEST_F(ChatCryptTest, ShortOutputBufferIsRefusedBeforeWriting) {
    char out[32];
    std::memset(out, 'Z', sizeof out);
    int len = -1;
    EXPECT_EQ(0, ChatCrypt::dataCrypt_encrypt("0123456789abcdefg", 17, out, 31, &len, "seed"));
    EXPECT_EQ('Z', out[0]);
    const std::string cipher = encrypt("0123456789abcdefg", "seed");
    EXPECT_EQ(0, ChatCrypt::dataCrypt_decrypt(cipher.data(), 32, out, 31, &len, "seed"));
}

TEST_F(ChatCryptTest, BrokenCiphertextIsRefused) {
    std::string cipher = encrypt("a message of some length", "seed");
    EXPECT_EQ("<failed>", decrypt(cipher.substr(0, cipher.size() - 1), "seed"));
}

TEST_F(ChatCryptTest, Base64MatchesTheStandardVectors) {
    EXPECT_EQ("", b64(""));
    EXPECT_EQ("Zg==", b64("f"));
    EXPECT_EQ("Zm8=", b64("fo"));
    EXPECT_EQ("Zm9v", b64("foo"));
    EXPECT_EQ("Zm9vYg==", b64("foob"));
    EXPECT_EQ("Zm9vYmE=", b64("fooba"));
    EXPECT_EQ("Zm9vYmFy", b64("foobar"));
}

TEST_F(ChatCryptTest, Base64UsesPlusAndSlashForHighBytes) {
    EXPECT_EQ("+/7/", b64("\xFB\xFE\xFF"));
    EXPECT_EQ("AA==", b64(std::string(1, '\0')));
}

}  // namespace
