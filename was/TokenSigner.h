#pragma once
// Mints the join tokens tolvexd checks in AUTH: compact JWTs with sub, iat,
// exp and, when asked, room and dev, signed ES256 or RS256 with a PEM private
// key or HS256 with a shared secret. Made once by main (or a test) and then
// only read: sign() may be called from any thread at once.

#include <cstdint>
#include <memory>
#include <string>

// What a token admits, as the token command and page take it.
struct token_fields_t {
    std::string user;     // sub: the user id, byte for byte as the client sends it
    uint32_t room = 0;    // 0: any room
    uint16_t dev = 0;     // 0: any device kind; 1 PC, 2 mobile
    int64_t ttlSec = 300;
};

class TokenSigner {
public:
    ~TokenSigner();
    TokenSigner(const TokenSigner&) = delete;
    TokenSigner& operator=(const TokenSigner&) = delete;

    // A PEM private key (EC P-256: ES256; RSA: RS256), or else the file's
    // bytes as an HS256 secret (a final newline dropped; 32 bytes at least).
    // kid goes into each token's header unless empty. Null with *error.
    static std::unique_ptr<TokenSigner> load(const std::string& path, const std::string& kid, std::string* error);

    // The token for fields, issued at now (Unix seconds). Empty only when
    // OpenSSL fails to sign.
    std::string sign(const token_fields_t& fields, int64_t now) const;
    const char* alg() const;

    // Sets one field from its name as the command line ("--user") or the
    // form ("user") spells it: user, room, device (pc or mobile), ttl.
    // False with *error for an unknown name or a bad value.
    static bool setField(const std::string& name, const std::string& value, token_fields_t* fields,
                         std::string* error);

private:
    struct key_t;
    explicit TokenSigner(std::unique_ptr<key_t> key);
    std::unique_ptr<key_t> m_key;
};

// True when the two keys are equal, in time that does not depend on where
// they differ or on the expected key's length.
bool sameApiKey(const std::string& given, const std::string& expected);
