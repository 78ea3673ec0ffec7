// tolvexd: the chat relay daemon. Reads its configuration, binds the service
// port, runs the event loop until SIGTERM or SIGINT, then ends in order.

#include <cstdio>
#include <cstring>
#include <memory>

#include "cpputil/Trace.h"
#include "tolvex/ChatApp.h"
#include "tolvex/ConfigCheck.h"
#include "tolvex/util/Globals.h"
#include "tolvex/task/JobJournal.h"

#include "TolvexVersion.h"

namespace {

bool hasOption(int argc, char** argv, const char* longName, const char* shortName) {
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], longName) || (shortName && !std::strcmp(argv[i], shortName))) return true;
    return false;
}

void printUsage() {
    std::printf(
        "usage: tolvexd [-c FILE] [-n ID] [--KEY VALUE ...]\n"
        "       tolvexd --check-config [-c FILE] [-n ID] [--KEY VALUE ...]\n"
        "  -c, --config FILE   configuration file (default ./config.xml)\n"
        "  -n, --serverid ID   instance number on this host, added to the service port\n"
        "  --check-config      read and check as a start would, print the settings, start nothing\n"
        "  -h, --help          this text;  --version  the version\n"
        "  --journal-dump DIR  list the WAS requests kept in a journal folder and exit\n"
        "  --KEY VALUE         any key of the <tolvexd> section, over the file's value\n"
        "signals: SIGTERM/SIGINT stop, SIGUSR1 toggles the trace, SIGUSR2 re-reads the file\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (hasOption(argc, argv, "--help", "-h")) {
        printUsage();
        return 0;
    }
    if (hasOption(argc, argv, "--version", nullptr)) {
        std::printf("tolvexd %s\n", TOLVEX_VERSION);
        return 0;
    }
    if (hasOption(argc, argv, "--check-config", nullptr)) return runConfigCheck(argc, argv, stdout, stderr);
    if (argc == 3 && !std::strcmp(argv[1], "--journal-dump")) {
        std::fputs(JobJournal::dump(argv[2]).c_str(), stdout);
        return 0;
    }
    g_trace.off();
    g_trace.setPrefix("tolvexd");
    TRACE(TRACE_DEBUG, "\n\nBOOT.........................\n\n");

    auto app = std::make_unique<ChatApp>();
    g_pApp = app.get();
    if (!app->readConfig(argc, argv)) {
        std::fprintf(stderr, "tolvexd: not started; see tolvexd --help and the configuration keys in README.md\n");
        g_pApp = nullptr;
        return 1;
    }
    if (int status = app->start(); status != 0) {
        app->shutdown();
        return status;
    }
    app->run(1);
    app->shutdown();
    g_pApp = nullptr;
    return 0;
}
