#include "was/TokenSigner.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

enum class alg_t { ES256, RS256, HS256 };

constexpr size_t kMinSecretLen = 32;
constexpr size_t kMaxUserLen = 256;
constexpr int64_t kMaxTtlSec = 30LL * 24 * 3600;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};

std::string base64Url(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

// A JSON string: quotes, backslashes and control bytes escaped, the rest
// (UTF-8) as it is.
std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool parseNumber(const std::string& text, int64_t low, int64_t high, int64_t* out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoll(text);
    return *out >= low && *out <= high;
}

// EVP gives an ECDSA signature in DER; JOSE wants R || S, 32 bytes each.
std::string derToRaw(const unsigned char* der, size_t len) {
    std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(len)));
    if (!sig) return "";
    std::string raw(64, '\0');
    auto* out = reinterpret_cast<unsigned char*>(raw.data());
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + 32, 32) != 32)
        return "";
    return raw;
}

}  // namespace

struct TokenSigner::key_t {
    alg_t alg = alg_t::HS256;
    std::string kid;
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey;
    std::string secret;
};

TokenSigner::TokenSigner(std::unique_ptr<key_t> key) : m_key(std::move(key)) {}
TokenSigner::~TokenSigner() = default;

std::unique_ptr<TokenSigner> TokenSigner::load(const std::string& path, const std::string& kid, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::ostringstream all;
    all << in.rdbuf();
    const std::string bytes = all.str();
    auto key = std::make_unique<key_t>();
    key->kid = kid;
    if (bytes.find("-----BEGIN") != std::string::npos) {
        BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
        key->pkey.reset(bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr);
        BIO_free(bio);
        if (!key->pkey) {
            *error = path + ": not a PEM private key";
            return nullptr;
        }
        char group[64] = {};
        size_t len = 0;
        if (EVP_PKEY_is_a(key->pkey.get(), "RSA") && EVP_PKEY_get_bits(key->pkey.get()) >= 2048) {
            key->alg = alg_t::RS256;
        } else if (EVP_PKEY_is_a(key->pkey.get(), "EC") &&
                   EVP_PKEY_get_utf8_string_param(key->pkey.get(), "group", group, sizeof group, &len) &&
                   std::strcmp(group, "prime256v1") == 0) {
            key->alg = alg_t::ES256;
        } else {
            *error = path + ": neither an RSA key of 2048 bits or more nor an EC P-256 key";
            return nullptr;
        }
    } else {
        key->secret = bytes;
        while (!key->secret.empty() && (key->secret.back() == '\n' || key->secret.back() == '\r'))
            key->secret.pop_back();
        if (key->secret.size() < kMinSecretLen) {
            *error = path + ": neither a PEM private key nor an HS256 secret of " + std::to_string(kMinSecretLen) +
                     " bytes or more";
            return nullptr;
        }
    }
    return std::unique_ptr<TokenSigner>(new TokenSigner(std::move(key)));
}

const char* TokenSigner::alg() const {
    switch (m_key->alg) {
        case alg_t::ES256: return "ES256";
        case alg_t::RS256: return "RS256";
        case alg_t::HS256: return "HS256";
    }
    return "?";
}

std::string TokenSigner::sign(const token_fields_t& fields, int64_t now) const {
    std::string header = std::string("{\"alg\":\"") + alg() + "\",\"typ\":\"JWT\"";
    if (!m_key->kid.empty()) header += ",\"kid\":" + jsonString(m_key->kid);
    header += "}";
    std::string claims = "{\"sub\":" + jsonString(fields.user) + ",\"iat\":" + std::to_string(now) +
                         ",\"exp\":" + std::to_string(now + fields.ttlSec);
    if (fields.room != 0) claims += ",\"room\":" + std::to_string(fields.room);
    if (fields.dev != 0) claims += ",\"dev\":" + std::to_string(fields.dev);
    claims += "}";
    const std::string input = base64Url(header) + "." + base64Url(claims);

    std::string signature;
    if (m_key->alg == alg_t::HS256) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        unsigned int macLen = 0;
        if (!HMAC(EVP_sha256(), m_key->secret.data(), static_cast<int>(m_key->secret.size()),
                  reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &macLen))
            return "";
        signature.assign(reinterpret_cast<char*>(mac), macLen);
    } else {
        std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
        size_t len = 0;
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key->pkey.get()) != 1 ||
            EVP_DigestSign(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()),
                           input.size()) != 1)
            return "";
        std::string der(len, '\0');
        if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &len,
                           reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1)
            return "";
        der.resize(len);
        signature = m_key->alg == alg_t::ES256
                        ? derToRaw(reinterpret_cast<const unsigned char*>(der.data()), der.size())
                        : der;
        if (signature.empty()) return "";
    }
    return input + "." + base64Url(signature);
}

bool TokenSigner::setField(const std::string& name, const std::string& value, token_fields_t* fields,
                           std::string* error) {
    int64_t n = 0;
    if (name == "user") {
        if (value.empty() || value.size() > kMaxUserLen || value.find('\0') != std::string::npos)
            return *error = "user: 1 to " + std::to_string(kMaxUserLen) + " bytes, no zero byte", false;
        fields->user = value;
    } else if (name == "room") {
        if (!parseNumber(value, 1, UINT32_MAX, &n)) return *error = "room: a number from 1 to 4294967295", false;
        fields->room = static_cast<uint32_t>(n);
    } else if (name == "device") {
        if (value == "pc") fields->dev = 1;
        else if (value == "mobile") fields->dev = 2;
        else return *error = "device: pc or mobile", false;
    } else if (name == "ttl") {
        if (!parseNumber(value, 1, kMaxTtlSec, &n))
            return *error = "ttl: seconds from 1 to " + std::to_string(kMaxTtlSec), false;
        fields->ttlSec = n;
    } else {
        return *error = "unknown field " + name, false;
    }
    return true;
}

bool sameApiKey(const std::string& given, const std::string& expected) {
    // Digests first: equal lengths, so the comparison says nothing about
    // how long the key is.
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(given.data()), given.size(), a);
    SHA256(reinterpret_cast<const unsigned char*>(expected.data()), expected.size(), b);
    return !expected.empty() && CRYPTO_memcmp(a, b, sizeof a) == 0;
}
