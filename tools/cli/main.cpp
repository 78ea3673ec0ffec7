// tolvex-cli: a terminal chat client for tolvexd. Opens or joins one room
// and chats line by line, or sends one message for a script. See --help.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/CliSession.h"

#include "TolvexVersion.h"

int main(int argc, char** argv) {
    const cli::cli_parse_t parsed = cli::parseCliArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(cli::usageText().c_str(), stdout);
        return cli::kExitOk;
    }
    if (parsed.version) {
        std::printf("tolvex-cli %s\n", TOLVEX_VERSION);
        return cli::kExitOk;
    }
    if (!parsed.ok) {
        std::fprintf(stderr, "tolvex-cli: %s (tolvex-cli --help lists the options)\n", parsed.error.c_str());
        return cli::kExitUsage;
    }
    // A reader of our output that went away is not a reason to die
    // mid-protocol; writes to it just fail.
    std::signal(SIGPIPE, SIG_IGN);
    cli::CliSession session(parsed.options, stdout, stderr);
    return session.run();
}
