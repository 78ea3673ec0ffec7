#pragma once
// Checks the join tokens clients present in AUTH: compact JWTs signed by the
// application's backend with one of the configured keys (ES256 or RS256
// public keys, HS256 secrets), told apart by the header's kid. The key
// decides the algorithm; the token's header only has to agree with it.
// The daemon keeps one (getInst), loaded at start and replaced on SIGUSR2;
// load, verify and the policy calls belong to the event-loop thread. Other
// instances (tests, the configuration check) belong to their maker.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a verified token admits.
struct token_claims_t {
    std::string sub;      // the user id, byte for byte
    int64_t exp = 0;
    int64_t iat = 0;
    int64_t nbf = 0;      // 0: not given
    uint32_t room = 0;    // 0: any room
    uint16_t dev = 0;     // 0: any device kind; else 1 PC, 2 mobile
    std::string kid;      // the key that signed it ("" for a key without one)
};

class TokenVerifier {
public:
    // The AUTH reply's result codes (docs/protocol.md).
    enum result_t : uint16_t {
        ACCEPTED = 0,
        MALFORMED = 1,       // not a compact JWT, or a claim missing or of the wrong type
        BAD_SIGNATURE = 2,   // signature wrong, alg other than the key's, or no configured key matches
        EXPIRED = 3,         // past exp, or before nbf/iat, beyond the leeway
        UNKNOWN_DEVICE = 4,  // dev names a device kind other than 1 (PC) or 2 (mobile)
        NO_KEYS = 5,         // the daemon has no key to check tokens with
        ALREADY_AUTHENTICATED = 6,  // a second AUTH, or AUTH on a connection that already joined
    };
    static constexpr size_t kMaxTokenLen = 4096;

    // One configured key; defined in the .cpp (it holds OpenSSL objects).
    struct key_t;

    TokenVerifier();
    ~TokenVerifier();
    TokenVerifier(const TokenVerifier&) = delete;
    TokenVerifier& operator=(const TokenVerifier&) = delete;

    static TokenVerifier& getInst();

    // Reads every key named by the two space-separated lists of files
    // (PEM public keys; HS256 secret files) and puts them in place of the
    // current ones. A key's kid is its file's base name without extension.
    // 0, or -1 with *error saying which file and why, the keys unchanged.
    int load(const std::string& publicKeyFiles, const std::string& hmacSecretFiles, std::string* error);
    // The same reading with no effect: for the configuration check.
    static bool checkKeys(const std::string& publicKeyFiles, const std::string& hmacSecretFiles, std::string* error);
    size_t keyCount() const { return m_keys.size(); }

    // Whether every connection must authenticate, and the clock leeway.
    void setPolicy(bool required, int leewaySec) {
        m_required = required;
        m_leewaySec = leewaySec;
    }
    bool required() const { return m_required; }
    int leewaySec() const { return m_leewaySec; }

    // The token's claims when it is signed by a configured key and valid
    // at now (Unix seconds) within the leeway; otherwise the reason, with
    // *why in words for the log.
    result_t verify(std::string_view token, int64_t now, token_claims_t* claims, std::string* why) const;

    static const char* resultName(result_t r);

private:
    static bool readKeys(const std::string& publicKeyFiles, const std::string& hmacSecretFiles,
                         std::vector<std::unique_ptr<key_t>>* keys, std::string* error);
    const key_t* selectKey(const std::string* kid) const;

    std::vector<std::unique_ptr<key_t>> m_keys;
    bool m_required = false;
    int m_leewaySec = 30;
};
