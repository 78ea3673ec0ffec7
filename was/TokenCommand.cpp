#include "was/TokenCommand.h"

#include <ctime>
#include <memory>
#include <string>

#include "was/TokenSigner.h"

namespace {

const char kUsage[] =
    "usage: tolvex-was token --user ID [--room N] [--device pc|mobile] [--ttl SECONDS]\n"
    "                        --signing-key FILE [--kid K]\n";

}  // namespace

int runTokenCommand(int argc, char** argv, FILE* out, FILE* err) {
    token_fields_t fields;
    std::string keyPath;
    std::string kid;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::fprintf(err, "tolvex-was token: %s needs a value\n%s", name.c_str(), kUsage);
            return 2;
        }
        const std::string value = argv[++i];
        if (name == "--signing-key") {
            keyPath = value;
        } else if (name == "--kid") {
            kid = value;
        } else if (!TokenSigner::setField(name.substr(2), value, &fields, &error)) {
            std::fprintf(err, "tolvex-was token: %s\n%s", error.c_str(), kUsage);
            return 2;
        }
    }
    if (fields.user.empty() || keyPath.empty()) {
        std::fprintf(err, "tolvex-was token: --user and --signing-key are required\n%s", kUsage);
        return 2;
    }
    std::unique_ptr<TokenSigner> signer = TokenSigner::load(keyPath, kid, &error);
    if (!signer) {
        std::fprintf(err, "tolvex-was token: %s\n", error.c_str());
        return 1;
    }
    const std::string token = signer->sign(fields, static_cast<int64_t>(std::time(nullptr)));
    if (token.empty()) {
        std::fprintf(err, "tolvex-was token: signing failed\n");
        return 1;
    }
    std::fprintf(out, "%s\n", token.c_str());
    return 0;
}
