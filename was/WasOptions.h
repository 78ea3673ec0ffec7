#pragma once
// The command line of tolvex-was, parsed into one record. Parsing also reads
// the daemon configuration named by --config; options given on the command
// line win over that file. Main's thread only.

#include <string>
#include <vector>

#include "was/GroupCommitter.h"
#include "was/WasServer.h"

struct was_options_t {
    std::string dbPath = "var/was.db";
    size_t dbConnections = 8;  // PostgreSQL only
    std::string host = "127.0.0.1";
    int port = 7080;
    was_server_settings_t server;
    commit_settings_t commit;
    std::vector<std::string> noDeviceUsers;
    bool dump = false;
    bool help = false;
    bool version = false;
};

// Returns false with error set for an unknown option, a missing or bad value,
// or an unreadable configuration file.
bool parseWasOptions(int argc, char** argv, was_options_t& options, std::string& error);

// The --help text.
std::string wasUsage();
