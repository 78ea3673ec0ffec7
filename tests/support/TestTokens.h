#pragma once
// Join tokens for tests, made with OpenSSL alone (not with the daemon's or
// the WAS's token code): key pairs generated at test time into a folder,
// and compact JWTs with any header and claims, signed as asked, so a test
// can also make the tokens a verifier must refuse. Test thread only.

#include <cstdint>
#include <memory>
#include <string>

#include "support/TempDir.h"

class TestKey {
public:
    enum kind_t { ES256, RS256 };
    // A fresh key pair; its public key is written to dir/<name>.pem, so its
    // kid is name.
    TestKey(const TempDir& dir, const std::string& name, kind_t kind = ES256);
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::string& publicPath() const { return m_publicPath; }
    // The private key as PEM, for tolvex-was --signing-key.
    std::string privatePem() const;
    std::string publicPem() const;
    const char* alg() const { return m_kind == ES256 ? "ES256" : "RS256"; }
    // The JOSE signature of input (ES256: R || S).
    std::string sign(const std::string& input) const;

private:
    struct pkey_t;
    kind_t m_kind;
    std::unique_ptr<pkey_t> m_pkey;
    std::string m_publicPath;
};

namespace testtoken {

std::string base64Url(const std::string& bytes);
std::string hmacSha256(const std::string& secret, const std::string& input);
// base64url(header).base64url(claims), the part a signature covers.
std::string signingInput(const std::string& header, const std::string& claims);
// A token signed by key, its header naming the key's alg and kid (unless kid is empty).
std::string signedBy(const TestKey& key, const std::string& kid, const std::string& claims);
// {"sub":user,"iat":now,"exp":now+ttl} plus extra (e.g. ",\"room\":5").
std::string claims(const std::string& user, int64_t iatOffset = 0, int64_t expOffset = 300, const std::string& extra = "");

}  // namespace testtoken
