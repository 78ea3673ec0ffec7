#pragma once
// The command line of tolvex-was, parsed into one record. Parsing also reads
// the daemon configuration named by --config; options given on the command
// line win over that file. Main's thread only.

#include <string>
#include <vector>

#include "was/GroupCommitter.h"
#include "was/WasRecords.h"
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
    // --release-daemon: the rooms of this daemon are released, then the program ends.
    daemon_address_t releaseDaemon;
    // The token page: signed with this key (kid in the header when given),
    // open to callers that present the API key of apiKeyFile.
    std::string signingKey;
    std::string kid;
    std::string apiKeyFile;
    bool help = false;
    bool version = false;
};

// Returns false with error set for an unknown option, a missing or bad value,
// an unreadable configuration file, or only one of --signing-key and
// --api-key-file.
bool parseWasOptions(int argc, char** argv, was_options_t& options, std::string& error);

// The --help text.
std::string wasUsage();
