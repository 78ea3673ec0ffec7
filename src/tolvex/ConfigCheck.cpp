#include "tolvex/ConfigCheck.h"

#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "cpputil/OpenFileLimit.h"
#include "tolvex/crypt/TokenVerifier.h"
#include "tolvex/util/ChatConfig.h"

namespace {

bool isLoopback(const sockaddr_in& a) {
    return (ntohl(a.sin_addr.s_addr) >> 24) == 127;
}

}  // namespace

void checkAuthSettings(const ConfigValues& v, ConfigReport& report) {
    std::string error;
    if (!TokenVerifier::checkKeys(v.auth_public_key, v.auth_hmac_secret_file, &error))
        report.errors.push_back(v.config + ": join token key: " + error);
    else if (v.auth_mode == "required" && v.auth_public_key.find_first_not_of(" \t") == std::string::npos &&
             v.auth_hmac_secret_file.find_first_not_of(" \t") == std::string::npos)
        report.errors.push_back(v.config + ": <auth_mode> required without <auth_public_key> or "
                                           "<auth_hmac_secret_file>: no client could authenticate");
    const bool plainOpen =
        v.plain_listener != "off" && v.servicebindaddr.sin_family == AF_INET && !isLoopback(v.servicebindaddr);
    const bool tlsOpen = v.tls_bindaddr.sin_family == AF_INET && !isLoopback(v.tls_bindaddr);
    if (v.auth_mode == "off" && (plainOpen || tlsOpen))
        report.warnings.push_back(v.config + ": <auth_mode> off on a listener beyond loopback: anyone who reaches it "
                                             "may join any room as any user");
    if (plainOpen)
        report.warnings.push_back(v.config + ": <servicebindaddr> listens beyond loopback without TLS: messages and "
                                             "tokens cross the network in clear (set <tls_bindaddr>, <plain_listener> "
                                             "off)");
}

void printConfigReport(const ConfigReport& report, FILE* err) {
    for (const std::string& e : report.errors) std::fprintf(err, "tolvexd: %s\n", e.c_str());
    for (const std::string& w : report.warnings) std::fprintf(err, "tolvexd: warning: %s\n", w.c_str());
}

int runConfigCheck(int argc, char** argv, FILE* out, FILE* err) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
        if (i == 0 || std::strcmp(argv[i], "--check-config") != 0) args.push_back(argv[i]);
    const int n = static_cast<int>(args.size());
    args.push_back(nullptr);

    ConfigValues v;
    ConfigReport report;
    ChatConfig::check(n, args.data(), v, report);
    if (report.errors.empty()) {
        ChatConfig::checkStart(v, report);
        checkAuthSettings(v, report);
        // A start warns about the limit it set; this is the one it would set.
        const std::string w = ChatConfig::selectLimitWarning(v.iotype, plannedOpenFileLimit(v.max_open_files));
        if (!w.empty()) report.warnings.push_back(w);
    }
    printConfigReport(report, err);
    if (!report.errors.empty()) {
        std::fprintf(err, "tolvexd: %s: a start would be refused\n", v.config.c_str());
        return 1;
    }
    for (const std::string& line : ChatConfig::settingLines(v)) std::fprintf(out, "%s\n", line.c_str());
    std::fprintf(err, "tolvexd: %s: a start would go ahead (%zu warning%s)\n", v.config.c_str(),
                 report.warnings.size(), report.warnings.size() == 1 ? "" : "s");
    return 0;
}
