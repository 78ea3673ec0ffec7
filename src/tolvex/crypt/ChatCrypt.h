#pragma once
// Passphrase-keyed AES-128-CBC for short texts (the mobile push payload)
// and Base64. Stateless: every call makes and frees its own cipher context,
// so any thread may call it and instances need not be shared.

#include <string>

#include "p2p/CryptKeys.h"

class ChatCrypt {
public:
    static constexpr const char* szDefaultKeyTable = CryptKeys::szDefaultKeyTable;
    static constexpr const char* base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static constexpr int kKeyLen = 16;

    virtual ~ChatCrypt() = default;

    // Ciphertext length for data_len bytes: what pOutBuffer must hold.
    static int encryptedSize(int data_len);

    // Encrypts data with the key derived from seed into pOutBuffer (capacity
    // outBufferSize, at least encryptedSize(data_len)) and stores the length
    // in *pOutBufferLen. data_len 0 gives length 0 and writes nothing.
    // Returns 1, or 0 (length 0) for an empty seed, a short buffer or a
    // cipher failure.
    static int dataCrypt_encrypt(const void* data, int data_len, void* pOutBuffer, int outBufferSize,
                                 int* pOutBufferLen, const char* seed);
    // The inverse; out (capacity outSize, at least data_len + 1) also gets a
    // zero byte after the plaintext. Returns 1, or 0 (length 0) for an empty
    // seed, a short buffer, a length that is not whole blocks or a bad key.
    static int dataCrypt_decrypt(const void* data, int data_len, void* out, int outSize, int* outlen,
                                 const char* seed);

    // The 16-byte key of seed: the table letter of each passphrase byte,
    // cycling over the passphrase. False for an empty seed.
    static bool dataCrypt_init(const char* seed, unsigned char key[kKeyLen]);

    // Standard Base64 with '=' padding.
    static std::string base64_encode(const void* bytes, int len);
};
