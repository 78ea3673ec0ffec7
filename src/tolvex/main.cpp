// tolvexd: the chat relay daemon. Reads its configuration, binds the service
// port, runs the event loop until SIGTERM or SIGINT, then ends in order.

#include <cstdio>
#include <cstring>
#include <memory>

#include "cpputil/Trace.h"
#include "tolvex/ChatApp.h"
#include "tolvex/Globals.h"

namespace {

bool wantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
    return false;
}

void printUsage() {
    std::printf(
        "usage: tolvexd [-c FILE] [-n ID] [--KEY VALUE ...]\n"
        "  -c, --config FILE   configuration file (default ./config.xml)\n"
        "  -n, --serverid ID   instance number on this host, added to the service port\n"
        "  --KEY VALUE         any key of the <tolvexd> section, over the file's value\n"
        "signals: SIGTERM/SIGINT stop, SIGUSR1 toggles the trace, SIGUSR2 re-reads the file\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        printUsage();
        return 0;
    }
    g_trace.off();
    g_trace.setPrefix("tolvexd");
    TRACE(TRACE_DEBUG, "\n\nBOOT.........................\n\n");

    auto app = std::make_unique<ChatApp>();
    g_pApp = app.get();
    app->readConfig(argc, argv);
    if (int status = app->start(); status != 0) {
        app->shutdown();
        return status;
    }
    app->run(1);
    app->shutdown();
    g_pApp = nullptr;
    return 0;
}
