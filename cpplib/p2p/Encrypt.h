#pragma once
// The reply-body cipher of the packet layer (etype 1: AES-128-CBC with the
// packet key). P2P_Encrypt and P2P_Decrypt each keep one instance for the
// life of the process; a mutex lets any thread use them.

#include <mutex>

#include "p2p/AesCbc.h"

constexpr int P2P_ENC_NONE = 0;
constexpr int P2P_ENC_AES128 = 1;

class Encrypt {
public:
    Encrypt();
    Encrypt(const Encrypt&) = delete;
    Encrypt& operator=(const Encrypt&) = delete;
    virtual ~Encrypt() = default;

    // Output length, or -1 when the cipher fails. len < 1 gives 0; 1 to 16
    // bytes are copied unchanged (short payloads travel in clear); longer
    // ones are AES-128-CBC with padding. out must hold
    // AesEncryptSizeGuess(len) / AesDecryptSizeGuess(len) bytes.
    int AesEncrypt(const void* in, void* out, int len);
    int AesDecrypt(const void* in, void* out, int len);

    static int AesEncryptSizeGuess(int n) { return AesCbc::paddedSize(n < 0 ? 0 : n); }
    static int AesDecryptSizeGuess(int n) { return n; }

private:
    std::mutex m_mutex;        // guards both contexts
    AesCbc::CtxPtr m_ctx;      // encryption
    AesCbc::CtxPtr m_ctxd;     // decryption
};

// The body to send for nEncType: in itself for type 0 (outlen = inlen), out
// for type 1 (outlen = its length). Null for any other type, for an output
// buffer too small, or when the cipher fails.
const char* P2P_Encrypt(int nEncType, const void* in, int inlen, void* out, int outbuflen, int* outlen);
const char* P2P_Decrypt(int nEncType, const void* in, int inlen, void* out, int outbuflen, int* outlen);
