#include "p2p/Encrypt.h"

#include <cstring>

#include "cpputil/Trace.h"
#include "p2p/CryptKeys.h"

Encrypt::Encrypt() : m_ctx(AesCbc::newCtx()), m_ctxd(AesCbc::newCtx()) {}

int Encrypt::AesEncrypt(const void* in, void* out, int len) {
    if (len < 1) return 0;
    if (len <= AesCbc::kBlock) {
        std::memcpy(out, in, static_cast<size_t>(len));
        return len;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return AesCbc::encrypt(m_ctx.get(), CryptKeys::key16, in, len, out, AesEncryptSizeGuess(len));
}

int Encrypt::AesDecrypt(const void* in, void* out, int len) {
    if (len < 1) return 0;
    if (len <= AesCbc::kBlock) {
        std::memcpy(out, in, static_cast<size_t>(len));
        return len;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return AesCbc::decrypt(m_ctxd.get(), CryptKeys::key16, in, len, out, AesDecryptSizeGuess(len));
}

namespace {

Encrypt& encryptor() {
    static Encrypt s_encrypt;
    return s_encrypt;
}

Encrypt& decryptor() {
    static Encrypt s_decrypt;
    return s_decrypt;
}

using cipher_fn = int (Encrypt::*)(const void*, void*, int);

const char* transform(int nEncType, const void* in, int inlen, void* out, int outbuflen, int* outlen, int needed,
                      Encrypt& engine, cipher_fn fn) {
    if (!outlen || inlen < 0 || (inlen > 0 && !in)) return nullptr;
    if (nEncType == P2P_ENC_NONE) {
        *outlen = inlen;
        return static_cast<const char*>(in);
    }
    if (nEncType != P2P_ENC_AES128) {
        TRACE(TRACE_ERROR, "unsupported encryption type %d", nEncType);
        return nullptr;
    }
    if (!out || needed > outbuflen) return nullptr;
    const int n = (engine.*fn)(in, out, inlen);
    if (n < 0) return nullptr;
    *outlen = n;
    return static_cast<const char*>(out);
}

}  // namespace

const char* P2P_Encrypt(int nEncType, const void* in, int inlen, void* out, int outbuflen, int* outlen) {
    return transform(nEncType, in, inlen, out, outbuflen, outlen, Encrypt::AesEncryptSizeGuess(inlen), encryptor(),
                     &Encrypt::AesEncrypt);
}

const char* P2P_Decrypt(int nEncType, const void* in, int inlen, void* out, int outbuflen, int* outlen) {
    return transform(nEncType, in, inlen, out, outbuflen, outlen, Encrypt::AesDecryptSizeGuess(inlen), decryptor(),
                     &Encrypt::AesDecrypt);
}
