#include "tolvex/crypt/TokenVerifier.h"

#include <jwt.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

enum class alg_t { ES256, RS256, HS256 };

const char* algName(alg_t a) {
    switch (a) {
        case alg_t::ES256: return "ES256";
        case alg_t::RS256: return "RS256";
        case alg_t::HS256: return "HS256";
    }
    return "?";
}

// Shorter HMAC secrets can be guessed offline from any token a client holds.
constexpr size_t kMinSecretLen = 32;
// A claim's user id is held to the limit the join requests have.
constexpr size_t kMaxSubLen = 256;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct JwtFree {
    void operator()(jwt_t* j) const { jwt_free(j); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
struct CFree {
    void operator()(char* p) const { std::free(p); }
};

std::vector<std::string> words(const std::string& list) {
    std::istringstream in(list);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// "keys/2026-01.pem" -> "2026-01".
std::string kidOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return base;
}

bool isUrlChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Unpadded base64url, as JWTs carry it; false for any other byte or a
// length no encoding produces.
bool base64UrlDecode(std::string_view in, std::string* out) {
    if (in.size() % 4 == 1) return false;
    std::string text;
    text.reserve(in.size() + 3);
    for (char c : in) {
        if (!isUrlChar(c)) return false;
        text.push_back(c == '-' ? '+' : c == '_' ? '/' : c);
    }
    const size_t pad = (4 - text.size() % 4) % 4;
    text.append(pad, '=');
    std::string bytes(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) < pad) return false;
    bytes.resize(static_cast<size_t>(n) - pad);
    *out = std::move(bytes);
    return true;
}

// A JSON integer as libjwt hands it back (its text): digits with an
// optional minus, nothing else. Absent: false with *present false.
bool integerClaim(jwt_t* jwt, const char* name, int64_t* value, bool* present) {
    std::unique_ptr<char, CFree> text(jwt_get_grants_json(jwt, name));
    *present = text != nullptr;
    if (!text) return false;
    const char* s = text.get();
    const char* digits = *s == '-' ? s + 1 : s;
    if (*digits == '\0' || std::strlen(digits) > 18) return false;
    for (const char* p = digits; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    *value = std::strtoll(s, nullptr, 10);
    return true;
}

bool readFile(const std::string& path, std::string* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return true;
}

}  // namespace

struct TokenVerifier::key_t {
    std::string kid;
    alg_t alg = alg_t::HS256;
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey;  // ES256, RS256
    std::string secret;                        // HS256
};

namespace {

std::unique_ptr<TokenVerifier::key_t> readPublicKey(const std::string& path, std::string* error) {
    std::string pem;
    if (!readFile(path, &pem, error)) return nullptr;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) return nullptr;
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (!pkey) {
        *error = path + ": not a PEM public key";
        return nullptr;
    }
    auto key = std::make_unique<TokenVerifier::key_t>();
    key->kid = kidOf(path);
    if (EVP_PKEY_is_a(pkey.get(), "RSA")) {
        if (EVP_PKEY_get_bits(pkey.get()) < 2048) {
            *error = path + ": an RSA key of fewer than 2048 bits";
            return nullptr;
        }
        key->alg = alg_t::RS256;
    } else if (EVP_PKEY_is_a(pkey.get(), "EC")) {
        char group[64] = {};
        size_t len = 0;
        if (!EVP_PKEY_get_utf8_string_param(pkey.get(), "group", group, sizeof group, &len) ||
            std::strcmp(group, "prime256v1") != 0) {
            *error = path + ": an EC key not on P-256 (ES256 needs P-256)";
            return nullptr;
        }
        key->alg = alg_t::ES256;
    } else {
        *error = path + ": neither an RSA nor an EC key";
        return nullptr;
    }
    key->pkey = std::move(pkey);
    return key;
}

std::unique_ptr<TokenVerifier::key_t> readSecret(const std::string& path, std::string* error) {
    auto key = std::make_unique<TokenVerifier::key_t>();
    if (!readFile(path, &key->secret, error)) return nullptr;
    // An editor's final newline is not part of the secret.
    while (!key->secret.empty() && (key->secret.back() == '\n' || key->secret.back() == '\r')) key->secret.pop_back();
    if (key->secret.size() < kMinSecretLen) {
        *error = path + ": an HS256 secret of fewer than " + std::to_string(kMinSecretLen) + " bytes";
        return nullptr;
    }
    key->kid = kidOf(path);
    key->alg = alg_t::HS256;
    return key;
}

bool digestVerify(EVP_PKEY* pkey, std::string_view input, const unsigned char* sig, size_t sigLen) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey) != 1) return false;
    return EVP_DigestVerify(ctx.get(), sig, sigLen, reinterpret_cast<const unsigned char*>(input.data()),
                            input.size()) == 1;
}

// JOSE carries an ES256 signature as R || S, 32 bytes each; OpenSSL
// verifies the DER form.
bool verifyEs256(EVP_PKEY* pkey, std::string_view input, const std::string& sig) {
    if (sig.size() != 64) return false;
    const auto* raw = reinterpret_cast<const unsigned char*>(sig.data());
    std::unique_ptr<ECDSA_SIG, EcdsaSigFree> ecdsa(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
    if (!ecdsa || !r || !s || ECDSA_SIG_set0(ecdsa.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLen = i2d_ECDSA_SIG(ecdsa.get(), &der);
    if (derLen <= 0) return false;
    const bool ok = digestVerify(pkey, input, der, static_cast<size_t>(derLen));
    OPENSSL_free(der);
    return ok;
}

bool verifyHs256(const std::string& secret, std::string_view input, const std::string& sig) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLen = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &macLen))
        return false;
    return sig.size() == macLen && CRYPTO_memcmp(mac, sig.data(), macLen) == 0;
}

}  // namespace

TokenVerifier::TokenVerifier() = default;
TokenVerifier::~TokenVerifier() = default;

TokenVerifier& TokenVerifier::getInst() {
    static TokenVerifier inst;
    return inst;
}

bool TokenVerifier::readKeys(const std::string& publicKeyFiles, const std::string& hmacSecretFiles,
                             std::vector<std::unique_ptr<key_t>>* keys, std::string* error) {
    for (const std::string& path : words(publicKeyFiles)) {
        auto key = readPublicKey(path, error);
        if (!key) return false;
        keys->push_back(std::move(key));
    }
    for (const std::string& path : words(hmacSecretFiles)) {
        auto key = readSecret(path, error);
        if (!key) return false;
        keys->push_back(std::move(key));
    }
    // A kid must pick one key, or rotation would try the wrong one.
    for (size_t i = 0; i < keys->size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if ((*keys)[i]->kid == (*keys)[j]->kid) {
                *error = "two keys named \"" + (*keys)[i]->kid + "\": a kid must name one key";
                return false;
            }
    return true;
}

bool TokenVerifier::checkKeys(const std::string& publicKeyFiles, const std::string& hmacSecretFiles,
                              std::string* error) {
    std::vector<std::unique_ptr<key_t>> keys;
    return readKeys(publicKeyFiles, hmacSecretFiles, &keys, error);
}

int TokenVerifier::load(const std::string& publicKeyFiles, const std::string& hmacSecretFiles, std::string* error) {
    std::vector<std::unique_ptr<key_t>> keys;
    if (!readKeys(publicKeyFiles, hmacSecretFiles, &keys, error)) return -1;
    m_keys = std::move(keys);
    return 0;
}

const TokenVerifier::key_t* TokenVerifier::selectKey(const std::string* kid) const {
    // Without a kid the choice would be a guess unless there is nothing to choose.
    if (!kid) return m_keys.size() == 1 ? m_keys.front().get() : nullptr;
    for (const auto& key : m_keys)
        if (key->kid == *kid) return key.get();
    return nullptr;
}

const char* TokenVerifier::resultName(result_t r) {
    switch (r) {
        case ACCEPTED: return "accepted";
        case MALFORMED: return "malformed";
        case BAD_SIGNATURE: return "bad signature";
        case EXPIRED: return "expired or not yet valid";
        case UNKNOWN_DEVICE: return "unknown device";
        case NO_KEYS: return "no keys";
        case ALREADY_AUTHENTICATED: return "already authenticated";
    }
    return "?";
}

TokenVerifier::result_t TokenVerifier::verify(std::string_view token, int64_t now, token_claims_t* claims,
                                              std::string* why) const {
    if (m_keys.empty()) {
        *why = "no key configured";
        return NO_KEYS;
    }
    if (token.size() > kMaxTokenLen) {
        *why = "longer than " + std::to_string(kMaxTokenLen) + " bytes";
        return MALFORMED;
    }
    // Three base64url parts; checking the bytes here also keeps NULs and
    // anything else libjwt would have to cope with out of it.
    const size_t dot1 = token.find('.');
    const size_t dot2 = dot1 == std::string_view::npos ? dot1 : token.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos || token.find('.', dot2 + 1) != std::string_view::npos) {
        *why = "not three dot-separated parts";
        return MALFORMED;
    }
    std::string signature;
    std::string scratch;
    if (!base64UrlDecode(token.substr(0, dot1), &scratch) ||
        !base64UrlDecode(token.substr(dot1 + 1, dot2 - dot1 - 1), &scratch) ||
        !base64UrlDecode(token.substr(dot2 + 1), &signature)) {
        *why = "a part is not base64url";
        return MALFORMED;
    }
    // libjwt reads the JSON only: without a key it checks no signature, and
    // with one it would take the algorithm from the token's own header.
    jwt_t* parsed = nullptr;
    const std::string text(token);
    if (jwt_decode(&parsed, text.c_str(), nullptr, 0) != 0 || !parsed) {
        *why = "header or claims are not JSON objects";
        return MALFORMED;
    }
    std::unique_ptr<jwt_t, JwtFree> jwt(parsed);

    const char* alg = jwt_get_header(jwt.get(), "alg");
    std::unique_ptr<char, CFree> kidJson(jwt_get_headers_json(jwt.get(), "kid"));
    const char* kidText = jwt_get_header(jwt.get(), "kid");
    // A critical extension is one this reader does not implement, so the
    // token must not be taken at all.
    std::unique_ptr<char, CFree> crit(jwt_get_headers_json(jwt.get(), "crit"));
    if (!alg || (kidJson && !kidText) || crit) {
        *why = "header without a string alg, with a kid that is no string, or with crit";
        return MALFORMED;
    }
    const std::string kid = kidText ? kidText : "";
    const key_t* key = selectKey(kidText ? &kid : nullptr);
    if (!key) {
        *why = kidText ? "no key named \"" + kid + "\"" : "no kid, and more than one key";
        return BAD_SIGNATURE;
    }
    if (std::strcmp(alg, algName(key->alg)) != 0) {
        *why = std::string("alg ") + alg + " for a " + algName(key->alg) + " key";
        return BAD_SIGNATURE;
    }
    const std::string_view input = token.substr(0, dot2);
    bool signedWell = false;
    switch (key->alg) {
        case alg_t::ES256: signedWell = verifyEs256(key->pkey.get(), input, signature); break;
        case alg_t::RS256:
            signedWell = digestVerify(key->pkey.get(), input, reinterpret_cast<const unsigned char*>(signature.data()),
                                      signature.size());
            break;
        case alg_t::HS256: signedWell = verifyHs256(key->secret, input, signature); break;
    }
    if (!signedWell) {
        *why = std::string(algName(key->alg)) + " signature does not verify with key \"" + key->kid + "\"";
        return BAD_SIGNATURE;
    }

    // Claims are read only once the key vouches for them.
    token_claims_t c;
    c.kid = key->kid;
    const char* sub = jwt_get_grant(jwt.get(), "sub");
    bool present = false;
    int64_t room = 0;
    int64_t dev = 0;
    const bool timesOk = integerClaim(jwt.get(), "exp", &c.exp, &present) &&
                         integerClaim(jwt.get(), "iat", &c.iat, &present) &&
                         (integerClaim(jwt.get(), "nbf", &c.nbf, &present) || !present);
    const bool roomOk = integerClaim(jwt.get(), "room", &room, &present) ? room > 0 && room <= UINT32_MAX : !present;
    const bool devOk = integerClaim(jwt.get(), "dev", &dev, &present) || !present;
    if (!sub || *sub == '\0' || std::strlen(sub) > kMaxSubLen || !timesOk || !roomOk || !devOk) {
        *why = "sub, exp or iat missing, or a claim of the wrong type or range";
        return MALFORMED;
    }
    if (dev != 0 && dev != 1 && dev != 2) {
        *why = "dev " + std::to_string(dev) + " is no device kind";
        return UNKNOWN_DEVICE;
    }
    const int64_t leeway = m_leewaySec;
    if (now > c.exp + leeway) {
        *why = "expired at " + std::to_string(c.exp);
        return EXPIRED;
    }
    if ((c.nbf != 0 && c.nbf > now + leeway) || c.iat > now + leeway) {
        *why = "not valid before " + std::to_string(c.nbf > c.iat ? c.nbf : c.iat);
        return EXPIRED;
    }
    c.sub = sub;
    c.room = static_cast<uint32_t>(room);
    c.dev = static_cast<uint16_t>(dev);
    *claims = std::move(c);
    return ACCEPTED;
}
