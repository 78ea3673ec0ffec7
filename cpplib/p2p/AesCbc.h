#pragma once
// AES-128-CBC with PKCS#7 padding and an all-zero IV over OpenSSL's EVP
// interface, one whole buffer per call. Free functions; a cipher context
// serves one thread at a time.

#include <memory>

struct evp_cipher_ctx_st;

namespace AesCbc {

constexpr int kBlock = 16;

// Owns one EVP cipher context.
struct CtxFree {
    void operator()(evp_cipher_ctx_st* ctx) const;
};
using CtxPtr = std::unique_ptr<evp_cipher_ctx_st, CtxFree>;
CtxPtr newCtx();

// Ciphertext length for len plaintext bytes: the next multiple of 16 above len.
constexpr int paddedSize(int len) {
    return (len / kBlock + 1) * kBlock;
}

// Encrypts len bytes into out (capacity outcap, at least paddedSize(len)).
// Returns the ciphertext length, or -1.
int encrypt(evp_cipher_ctx_st* ctx, const unsigned char* key, const void* in, int len, void* out, int outcap);
// Decrypts len bytes into out (capacity outcap, at least len). Returns the
// plaintext length, or -1 for a length that is not whole blocks or a bad
// padding.
int decrypt(evp_cipher_ctx_st* ctx, const unsigned char* key, const void* in, int len, void* out, int outcap);

}  // namespace AesCbc
