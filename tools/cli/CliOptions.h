#pragma once
// The command line of tolvex-cli as a plain value, its parser and the exit
// statuses the tool ends with. The parser checks every field against the
// limits the daemon enforces, so nothing it accepts can get the connection
// closed for an over-long field. Pure functions; any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// Exit statuses, for scripts that drive the one-shot form.
enum cli_exit_t : int {
    kExitOk = 0,             // done: the message was accepted (and fully reported with --wait-result)
    kExitFailed = 1,         // join refused, room to create exists (one-shot), closed or replaced, no MSG_ACK
    kExitUsage = 2,          // bad command line
    kExitUnreachable = 3,    // nothing accepted the connection
    kExitNotReady = 4,       // the daemon is still loading its rooms: try again shortly
    kExitIncomplete = 5,     // accepted, but some recipients had no outcome before the timeout
    kExitNotChatServer = 6,  // the server sent bytes that are no packet, or answered not even a ping
};

struct cli_options_t {
    std::string host;
    int port = 0;
    // --directory: the WAS asked which daemon serves the room; port 0 when not given.
    std::string directoryHost;
    int directoryPort = 0;
    bool directoryTls = false;  // https://HOST:PORT: verified against caFile as the daemon is
    std::string userId;
    std::string name;  // display name; defaults to the user id's part before '@'
    bool mobile = false;
    uint32_t roomId = 0;
    bool create = false;
    std::vector<std::string> invitees;  // invited once the room is open
    bool oneShot = false;               // --send given
    std::string sendText;
    bool waitResult = false;
    double timeoutSec = 20;  // one-shot run, and opening the room
    // The join token sent in AUTH before anything else: given, read from a
    // file (its first line), or fetched from a tolvex-was token page
    // (http://HOST:PORT/PATH) with the API key of apiKeyFile. At most one.
    std::string token;
    std::string tokenFile;
    std::string wasTokenUrl;
    std::string apiKeyFile;
    // TLS to the daemon, its certificate verified for the host connected
    // to against caFile (empty: the system store); caFile also verifies an
    // https:// directory.
    bool tls = false;
    std::string caFile;
};

inline constexpr double kDefaultTimeoutSec = 20;
inline constexpr double kMaxTimeoutSec = 3600;

struct cli_parse_t {
    cli_options_t options;
    bool ok = false;
    bool help = false;     // --help: print usageText()
    bool version = false;  // --version
    std::string error;     // set when none of the above
};

// args excludes the program name.
cli_parse_t parseCliArgs(const std::vector<std::string>& args);
std::string usageText();

// "bob" for "bob@corp.example.com": the name shown when none is given.
std::string defaultName(const std::string& userId);
// A comma-separated list of user ids; "" when valid, else why not.
std::string splitUserIds(const std::string& list, std::vector<std::string>* out);

}  // namespace cli
