#include "was/WasOptions.h"

#include <charconv>
#include <map>

#include "was/WaslistReader.h"

namespace {

bool parseNumber(const std::string& text, long min, long max, long& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= min && out <= max;
}

bool parseAddress(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    long value = 0;
    if (colon == std::string::npos || colon == 0) return false;
    if (!parseNumber(text.substr(colon + 1), 0, 65535, value)) return false;
    host = text.substr(0, colon);
    port = static_cast<int>(value);
    return true;
}

// IP:PORT as a daemon reports itself; the IP may be empty, as is the
// service_ip of a daemon that has none set.
bool parseDaemon(const std::string& text, daemon_address_t& daemon) {
    size_t colon = text.rfind(':');
    long port = 0;
    if (colon == std::string::npos || colon > 255) return false;
    if (!parseNumber(text.substr(colon + 1), 1, 65535, port)) return false;
    daemon.ip = text.substr(0, colon);
    daemon.port = static_cast<uint32_t>(port);
    return true;
}

// The daemon's waslist: the page keys, and its first WAS address as ours.
bool applyConfig(const std::string& path, was_options_t& options, std::string& error) {
    std::map<std::string, std::vector<std::string>> values;
    if (!readWaslist(path, values, error)) return false;
    for (const auto& [key, list] : values) {
        if (list.empty()) continue;
        if (key == "was") {
            // An https:// entry is served over TLS once --cert and --key are given.
            std::string address = list.front();
            if (address.rfind("https://", 0) == 0) address.erase(0, 8);
            if (!parseAddress(address, options.host, options.port)) {
                error = path + ": bad was address " + list.front();
                return false;
            }
        } else if (std::string* page = options.server.pages.byKey(key)) {
            if (!list.front().empty()) *page = list.front();
        }
    }
    return true;
}

bool takesValue(const std::string& name, was_options_t& options) {
    for (const char* known : {"--db", "--db-connections", "--listen", "--config", "--no-device",
                              "--rooms-per-page", "--threads", "--commit-window-us", "--commit-batch",
                              "--release-daemon", "--signing-key", "--kid", "--api-key-file", "--cert", "--key"})
        if (name == known) return true;
    return name.rfind("--was_", 0) == 0 && options.server.pages.byKey(name.substr(2));
}

struct pending_t {
    std::string config;
    std::vector<std::pair<std::string, std::string>> pages;  // applied after the file
    std::string listen;
};

bool takeOption(const std::string& name, const std::string& value, was_options_t& options,
                pending_t& pending, std::string& error) {
    long number = 0;
    if (name == "--db") {
        options.dbPath = value;
    } else if (name == "--db-connections") {
        if (!parseNumber(value, 1, 1000, number)) return error = "bad --db-connections", false;
        options.dbConnections = static_cast<size_t>(number);
    } else if (name == "--listen") {
        pending.listen = value;
    } else if (name == "--config") {
        pending.config = value;
    } else if (name == "--release-daemon") {
        if (!parseDaemon(value, options.releaseDaemon))
            return error = "bad --release-daemon address " + value + " (expected IP:PORT)", false;
    } else if (name == "--signing-key") {
        options.signingKey = value;
    } else if (name == "--kid") {
        options.kid = value;
    } else if (name == "--api-key-file") {
        options.apiKeyFile = value;
    } else if (name == "--cert") {
        options.server.certFile = value;
    } else if (name == "--key") {
        options.server.keyFile = value;
    } else if (name == "--no-device") {
        options.noDeviceUsers.push_back(value);
    } else if (name == "--rooms-per-page") {
        if (!parseNumber(value, 1, 1000000, number)) return error = "bad --rooms-per-page", false;
        options.server.roomsPerPage = static_cast<uint32_t>(number);
    } else if (name == "--threads") {
        if (!parseNumber(value, 1, 256, number)) return error = "bad --threads", false;
        options.server.threads = static_cast<size_t>(number);
    } else if (name == "--commit-window-us") {
        if (!parseNumber(value, 0, 1000000, number)) return error = "bad --commit-window-us", false;
        options.commit.window = std::chrono::microseconds(number);
    } else if (name == "--commit-batch") {
        if (!parseNumber(value, 1, 4096, number)) return error = "bad --commit-batch", false;
        options.commit.maxBatch = static_cast<size_t>(number);
    } else if (name.rfind("--was_", 0) == 0 && options.server.pages.byKey(name.substr(2))) {
        pending.pages.emplace_back(name.substr(2), value);
    } else {
        error = "unknown option " + name;
        return false;
    }
    return true;
}

bool applyPending(const pending_t& pending, was_options_t& options, std::string& error) {
    if (options.server.certFile.empty() != options.server.keyFile.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    // A token page open to anyone would hand out any user's tokens.
    if (options.signingKey.empty() != options.apiKeyFile.empty()) {
        error = "--signing-key and --api-key-file go together";
        return false;
    }
    if (!pending.config.empty() && !applyConfig(pending.config, options, error)) return false;
    for (const auto& [key, path] : pending.pages) *options.server.pages.byKey(key) = path;
    if (!pending.listen.empty() && !parseAddress(pending.listen, options.host, options.port)) {
        error = "bad --listen address " + pending.listen + " (expected HOST:PORT)";
        return false;
    }
    return true;
}

}  // namespace

bool parseWasOptions(int argc, char** argv, was_options_t& options, std::string& error) {
    pending_t pending;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--version") {
            options.version = true;
            continue;
        }
        if (name == "--dump") {
            options.dump = true;
            continue;
        }
        std::string value;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (!takesValue(name, options)) {
            error = "unknown option " + name;
            return false;
        }
        if (eq == std::string::npos) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!takeOption(name, value, options, pending, error)) return false;
    }
    return applyPending(pending, options, error);
}

std::string wasUsage() {
    return R"(usage: tolvex-was [options]
The reference WAS of tolvexd: answers the daemon's WAS pages from an SQLite
file or a PostgreSQL database.

  --db LOCATION          the path of an SQLite file (default var/was.db; created
                         when missing), or a PostgreSQL database as a URI
                         (postgresql://user@host:port/dbname) or a libpq
                         "key=value ..." string; its tables are created or
                         brought up to date at start
  --db-connections N     PostgreSQL connections shared by the worker threads
                         (default 8)
  --listen HOST:PORT     listening address (default 127.0.0.1:7080)
  --cert FILE --key FILE serve HTTPS (TLS 1.2 or 1.3) with this PEM certificate
                         (chain) and key; the daemon's waslist then names this
                         server as https://HOST:PORT
  --config PATH          read the daemon's config.xml "waslist" section: the page
                         paths, and the first <was> address as the listening one
                         (an https:// prefix is dropped)
  --was_save_msg PATH    page paths, one option per daemon key: was_save_msg,
  ...                    was_mobile_push, was_leave, was_endroom, was_not_endroom,
                         was_load_room, was_update_msgsend, was_invite_request,
                         was_sendfailuser_request; was_no_device for the page
                         that registers users without a push device, and
                         was_room_directory for the page that tells clients
                         which daemon serves a room
  --rooms-per-page N     rooms per not-ended room list page (default 100)
  --threads N            worker threads (default 32)
  --commit-window-us N   how long a write waits for others to share its commit,
                         in microseconds (default 1000); 0 commits each request
                         on its own
  --commit-batch N       most requests in one commit (default 32, at most
                         --threads)
  --signing-key FILE     serve the token page (/was/token): join tokens signed
                         with this PEM private key (EC P-256: ES256; RSA:
                         RS256) or HS256 secret file; needs --api-key-file
  --kid K                the kid written into each token's header
  --api-key-file FILE    the key callers of the token page send in X-Api-Key
                         (the file's first line, 16 characters or more)
  --no-device USER_ID    register a user as having no push device (repeatable)
  --dump                 print what the database holds and exit
  --release-daemon IP:PORT
                         release every room the daemon at IP:PORT (its
                         service_ip and port) holds, print how many, and exit;
                         for a daemon gone for good
  --help, --version
       tolvex-was token --user ID [--room N] [--device pc|mobile] [--ttl SECONDS]
                        --signing-key FILE [--kid K]
                         print one join token (default ttl 300 s) and exit
Command-line options win over --config, which wins over the defaults.
)";
}
