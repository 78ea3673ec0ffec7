#include "tolvex/crypt/ChatCrypt.h"

#include <cstdint>
#include <cstring>

#include "p2p/AesCbc.h"

namespace {

constexpr uint32_t kTableSize = sizeof CryptKeys::szDefaultKeyTable;  // 151: the terminator counts

}  // namespace

int ChatCrypt::encryptedSize(int data_len) {
    return data_len > 0 ? AesCbc::paddedSize(data_len) : 0;
}

bool ChatCrypt::dataCrypt_init(const char* seed, unsigned char key[kKeyLen]) {
    const size_t len = seed ? std::strlen(seed) : 0;
    if (len == 0) return false;
    size_t j = 0;
    for (int i = 0; i < kKeyLen; ++i) {
        // Bytes above 0x7F index through their sign-extended value; peers
        // derive keys the same way, so this must not change.
        const auto c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(seed[j])));
        key[i] = static_cast<unsigned char>(szDefaultKeyTable[c % kTableSize]);
        j = (j + 1) % len;
    }
    return true;
}

int ChatCrypt::dataCrypt_encrypt(const void* data, int data_len, void* pOutBuffer, int outBufferSize,
                                 int* pOutBufferLen, const char* seed) {
    if (!pOutBufferLen) return 0;
    *pOutBufferLen = 0;
    if (data_len == 0) return 1;
    unsigned char key[kKeyLen];
    if (data_len < 0 || !dataCrypt_init(seed, key)) return 0;
    AesCbc::CtxPtr ctx = AesCbc::newCtx();
    const int n = AesCbc::encrypt(ctx.get(), key, data, data_len, pOutBuffer, outBufferSize);
    if (n < 0) return 0;
    *pOutBufferLen = n;
    return 1;
}

int ChatCrypt::dataCrypt_decrypt(const void* data, int data_len, void* out, int outSize, int* outlen,
                                 const char* seed) {
    if (!outlen) return 0;
    *outlen = 0;
    if (data_len == 0) {
        if (out && outSize > 0) static_cast<char*>(out)[0] = '\0';
        return 1;
    }
    unsigned char key[kKeyLen];
    // Room for the terminator: padding takes at least one byte, so the
    // plaintext plus its zero never exceed data_len.
    if (data_len < 0 || outSize < data_len || !dataCrypt_init(seed, key)) return 0;
    AesCbc::CtxPtr ctx = AesCbc::newCtx();
    const int n = AesCbc::decrypt(ctx.get(), key, data, data_len, out, outSize);
    if (n < 0 || n >= outSize) return 0;
    static_cast<char*>(out)[n] = '\0';
    *outlen = n;
    return 1;
}

std::string ChatCrypt::base64_encode(const void* bytes, int len) {
    std::string out;
    if (!bytes || len <= 0) return out;
    const auto* in = static_cast<const unsigned char*>(bytes);
    out.reserve(static_cast<size_t>((len + 2) / 3) * 4);
    int i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) out += base64_chars[(v >> shift) & 0x3F];
    }
    const int rest = len - i;
    if (rest > 0) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
        out += base64_chars[(v >> 18) & 0x3F];
        out += base64_chars[(v >> 12) & 0x3F];
        out += rest == 2 ? base64_chars[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}
