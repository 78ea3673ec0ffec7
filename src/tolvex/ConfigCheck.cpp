#include "tolvex/ConfigCheck.h"

#include <cstring>
#include <string>
#include <vector>

#include "cpputil/OpenFileLimit.h"
#include "tolvex/util/ChatConfig.h"

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
