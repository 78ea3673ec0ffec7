#include "support/TestTokens.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <ctime>
#include <stdexcept>

struct TestKey::pkey_t {
    EVP_PKEY* key = nullptr;
    ~pkey_t() { EVP_PKEY_free(key); }
};

namespace {

std::string pem(EVP_PKEY* key, bool priv) {
    BIO* bio = BIO_new(BIO_s_mem());
    const int ok = priv ? PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr)
                        : PEM_write_bio_PUBKEY(bio, key);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text = ok == 1 ? std::string(data, static_cast<size_t>(len)) : "";
    BIO_free(bio);
    return text;
}

}  // namespace

TestKey::TestKey(const TempDir& dir, const std::string& name, kind_t kind)
    : m_kind(kind), m_pkey(std::make_unique<pkey_t>()) {
    m_pkey->key = kind == ES256 ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
    if (!m_pkey->key) throw std::runtime_error("cannot generate a test key");
    m_publicPath = dir.write(name + ".pem", publicPem());
}

TestKey::~TestKey() = default;

std::string TestKey::privatePem() const { return pem(m_pkey->key, true); }
std::string TestKey::publicPem() const { return pem(m_pkey->key, false); }

std::string TestKey::sign(const std::string& input) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    std::string sig;
    if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, m_pkey->key) == 1 &&
        EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1) {
        sig.resize(len);
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(input.data()), input.size());
        sig.resize(len);
    }
    EVP_MD_CTX_free(ctx);
    if (m_kind == RS256) return sig;
    const auto* der = reinterpret_cast<const unsigned char*>(sig.data());
    ECDSA_SIG* ecdsa = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(sig.size()));
    std::string raw(64, '\0');
    BN_bn2binpad(ECDSA_SIG_get0_r(ecdsa), reinterpret_cast<unsigned char*>(raw.data()), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(ecdsa), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32);
    ECDSA_SIG_free(ecdsa);
    return raw;
}

namespace testtoken {

std::string base64Url(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                   reinterpret_cast<const unsigned char*>(bytes.data()),
                                                   static_cast<int>(bytes.size()))));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

std::string hmacSha256(const std::string& secret, const std::string& input) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &len);
    return std::string(reinterpret_cast<char*>(mac), len);
}

std::string signingInput(const std::string& header, const std::string& claims) {
    return base64Url(header) + "." + base64Url(claims);
}

std::string signedBy(const TestKey& key, const std::string& kid, const std::string& claims) {
    const std::string header = std::string("{\"alg\":\"") + key.alg() + "\"" +
                               (kid.empty() ? "" : ",\"kid\":\"" + kid + "\"") + "}";
    const std::string input = signingInput(header, claims);
    return input + "." + base64Url(key.sign(input));
}

std::string claims(const std::string& user, int64_t iatOffset, int64_t expOffset, const std::string& extra) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    return "{\"sub\":\"" + user + "\",\"iat\":" + std::to_string(now + iatOffset) +
           ",\"exp\":" + std::to_string(now + expOffset) + extra + "}";
}

}  // namespace testtoken
