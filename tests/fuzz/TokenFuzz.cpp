// libFuzzer target: the join token reader (TokenVerifier::verify). The first
// byte picks the form: the rest given as the token itself, or cut by the
// next two bytes into header, claims and signature, each base64url-encoded,
// with the signature either as given or the valid HS256 one, so the claims
// checks behind the signature are reached too. Beyond the sanitizers it
// checks that an accepted token's claims are within what the daemon relies
// on.

#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tolvex/crypt/TokenVerifier.h"

namespace {

const std::string kSecret = "fuzzing secret of thirty-two bytes or more";

void require(bool holds) {
    if (!holds) std::abort();
}

TokenVerifier& verifier() {
    static TokenVerifier* const v = [] {
        char path[] = "/tmp/token_fuzz_XXXXXX";
        const int fd = mkstemp(path);
        require(fd >= 0 && write(fd, kSecret.data(), kSecret.size()) == static_cast<ssize_t>(kSecret.size()));
        close(fd);
        auto* made = new TokenVerifier;  // lives as long as the process
        std::string error;
        require(made->load("", path, &error) == 0);
        unlink(path);
        made->setPolicy(true, 30);
        return made;
    }();
    return *v;
}

std::string base64Url(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                   reinterpret_cast<const unsigned char*>(bytes.data()),
                                                   static_cast<int>(bytes.size()))));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

std::string hmac(const std::string& input) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), kSecret.data(), static_cast<int>(kSecret.size()),
         reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &len);
    return std::string(reinterpret_cast<char*>(mac), len);
}

std::string tokenOf(const uint8_t* data, size_t size) {
    const uint8_t form = data[0];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((form & 3) == 0) return rest;
    if (rest.size() < 2) return rest;
    const std::string parts = rest.substr(2);
    const size_t cut1 = std::min<size_t>(static_cast<uint8_t>(rest[0]) * parts.size() / 255, parts.size());
    const size_t cut2 = std::max(cut1, std::min<size_t>(static_cast<uint8_t>(rest[1]) * parts.size() / 255, parts.size()));
    const std::string input = base64Url(parts.substr(0, cut1)) + "." + base64Url(parts.substr(cut1, cut2 - cut1));
    return input + "." + base64Url((form & 3) == 1 ? hmac(input) : parts.substr(cut2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    token_claims_t claims;
    std::string why;
    const TokenVerifier::result_t r = verifier().verify(tokenOf(data, size), 1700000000, &claims, &why);
    if (r == TokenVerifier::ACCEPTED) {
        require(!claims.sub.empty() && claims.sub.size() <= 256 && claims.sub.find('\0') == std::string::npos);
        require(claims.dev <= 2 && claims.kid.rfind("token_fuzz_", 0) == 0);
        require(claims.exp + 30 >= 1700000000);
    } else {
        require(!why.empty());
    }
    return 0;
}
