#include "p2p/AesCbc.h"

#include <openssl/evp.h>

namespace AesCbc {

void CtxFree::operator()(evp_cipher_ctx_st* ctx) const {
    EVP_CIPHER_CTX_free(ctx);
}

CtxPtr newCtx() {
    return CtxPtr(EVP_CIPHER_CTX_new());
}

namespace {

const unsigned char kZeroIv[kBlock] = {};

int runEncrypt(evp_cipher_ctx_st* ctx, const unsigned char* key, const void* in, int len, void* out) {
    auto* dst = static_cast<unsigned char*>(out);
    int updated = 0;
    int finished = 0;
    if (EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, kZeroIv) != 1) return -1;
    if (EVP_EncryptUpdate(ctx, dst, &updated, static_cast<const unsigned char*>(in), len) != 1) return -1;
    if (EVP_EncryptFinal_ex(ctx, dst + updated, &finished) != 1) return -1;
    return updated + finished;
}

int runDecrypt(evp_cipher_ctx_st* ctx, const unsigned char* key, const void* in, int len, void* out) {
    auto* dst = static_cast<unsigned char*>(out);
    int updated = 0;
    int finished = 0;
    if (EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, kZeroIv) != 1) return -1;
    if (EVP_DecryptUpdate(ctx, dst, &updated, static_cast<const unsigned char*>(in), len) != 1) return -1;
    if (EVP_DecryptFinal_ex(ctx, dst + updated, &finished) != 1) return -1;
    return updated + finished;
}

}  // namespace

int encrypt(evp_cipher_ctx_st* ctx, const unsigned char* key, const void* in, int len, void* out, int outcap) {
    if (!ctx || !key || len < 0 || (len > 0 && !in) || !out || outcap < paddedSize(len)) return -1;
    return runEncrypt(ctx, key, in, len, out);
}

int decrypt(evp_cipher_ctx_st* ctx, const unsigned char* key, const void* in, int len, void* out, int outcap) {
    if (!ctx || !key || len <= 0 || len % kBlock != 0 || !in || !out || outcap < len) return -1;
    return runDecrypt(ctx, key, in, len, out);
}

}  // namespace AesCbc
