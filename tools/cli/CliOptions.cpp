#include "cli/CliOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>

#include "client/Protocol.h"

namespace cli {

namespace {

std::optional<uint64_t> parseUnsigned(const std::string& text, uint64_t max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max) return std::nullopt;
    return static_cast<uint64_t>(v);
}

// HOST:PORT with a port in 1..65535; "" when valid, else why not.
std::string checkAddress(const std::string& option, const std::string& value, std::string* host, int* port) {
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) return option + " wants HOST:PORT, got \"" + value + "\"";
    const auto number = parseUnsigned(value.substr(colon + 1), 65535);
    if (!number || *number == 0) return option + ": bad port in \"" + value + "\"";
    *host = value.substr(0, colon);
    *port = static_cast<int>(*number);
    return "";
}

std::string checkServer(const std::string& value, cli_options_t* o) {
    return checkAddress("--server", value, &o->host, &o->port);
}

// HOST:PORT, or https://HOST:PORT for a tolvex-was that serves HTTPS.
std::string checkDirectory(const std::string& value, cli_options_t* o) {
    static const std::string kHttps = "https://";
    o->directoryTls = value.rfind(kHttps, 0) == 0;
    return checkAddress("--directory", o->directoryTls ? value.substr(kHttps.size()) : value, &o->directoryHost,
                        &o->directoryPort);
}

std::string checkUserId(const std::string& option, const std::string& id) {
    if (id.empty()) return option + ": empty user id";
    if (id.size() > client::kMaxIdLen)
        return option + ": user id longer than " + std::to_string(client::kMaxIdLen) + " bytes";
    return "";
}

std::string checkTimeout(const std::string& value, cli_options_t* o) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value.c_str(), &end);
    if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxTimeoutSec)
        return "--timeout wants seconds above 0 and at most " + std::to_string(static_cast<int>(kMaxTimeoutSec));
    o->timeoutSec = v;
    return "";
}

// Options that take a value, and what each does with it.
using value_handler_t = std::function<std::string(const std::string&, cli_options_t*)>;

const std::map<std::string, value_handler_t>& valueOptions() {
    static const std::map<std::string, value_handler_t> options = {
        {"--server", checkServer},
        {"--directory", checkDirectory},
        {"--user",
         [](const std::string& v, cli_options_t* o) {
             o->userId = v;
             return checkUserId("--user", v);
         }},
        {"--name",
         [](const std::string& v, cli_options_t* o) {
             o->name = v;
             return v.size() > client::kMaxNameLen
                        ? "--name: longer than " + std::to_string(client::kMaxNameLen) + " bytes"
                        : std::string();
         }},
        {"--room",
         [](const std::string& v, cli_options_t* o) {
             const auto room = parseUnsigned(v, UINT32_MAX);
             if (!room) return "--room wants a number from 0 to " + std::to_string(UINT32_MAX);
             o->roomId = static_cast<uint32_t>(*room);
             return std::string();
         }},
        {"--invite",
         [](const std::string& v, cli_options_t* o) {
             std::vector<std::string> ids;
             if (std::string err = splitUserIds(v, &ids); !err.empty()) return "--invite: " + err;
             o->invitees.insert(o->invitees.end(), ids.begin(), ids.end());
             return std::string();
         }},
        {"--send",
         [](const std::string& v, cli_options_t* o) {
             o->oneShot = true;
             o->sendText = v;
             return v.size() > client::kMaxMsgLen
                        ? "--send: message longer than " + std::to_string(client::kMaxMsgLen) + " bytes"
                        : std::string();
         }},
        {"--timeout", checkTimeout},
        {"--token",
         [](const std::string& v, cli_options_t* o) {
             o->token = v;
             return v.empty() || v.size() > client::kMaxTokenLen
                        ? "--token: 1 to " + std::to_string(client::kMaxTokenLen) + " bytes"
                        : std::string();
         }},
        {"--token-file", [](const std::string& v, cli_options_t* o) { return o->tokenFile = v, std::string(); }},
        {"--was-token-url",
         [](const std::string& v, cli_options_t* o) {
             o->wasTokenUrl = v;
             return v.rfind("http://", 0) == 0 ? std::string() : "--was-token-url wants http://HOST:PORT/PATH";
         }},
        {"--api-key-file", [](const std::string& v, cli_options_t* o) { return o->apiKeyFile = v, std::string(); }},
        {"--ca", [](const std::string& v, cli_options_t* o) { return o->caFile = v, std::string(); }},
    };
    return options;
}

bool setFlag(const std::string& name, cli_parse_t* r) {
    if (name == "--create") r->options.create = true;
    else if (name == "--mobile") r->options.mobile = true;
    else if (name == "--wait-result") r->options.waitResult = true;
    else if (name == "--tls") r->options.tls = true;
    else if (name == "--help" || name == "-h") r->help = true;
    else if (name == "--version") r->version = true;
    else return false;
    return true;
}

// What a complete set of options still lacks or contradicts; "" when fine.
std::string checkCombination(const cli_options_t& o, const std::vector<std::string>& seen) {
    auto given = [&](const char* name) {
        for (const std::string& s : seen)
            if (s == name) return true;
        return false;
    };
    for (const char* required : {"--server", "--user", "--room"})
        if (!given(required)) return std::string("missing ") + required;
    if (o.waitResult && !o.oneShot) return "--wait-result needs --send";
    if (o.invitees.size() > client::kMaxInvitees)
        return "--invite: at most " + std::to_string(client::kMaxInvitees) + " users";
    for (const std::string& id : o.invitees)
        if (id == o.userId) return "--invite: you are already in the room you open";
    if (given("--token") + given("--token-file") + given("--was-token-url") > 1)
        return "one of --token, --token-file and --was-token-url";
    if (given("--was-token-url") != given("--api-key-file")) return "--was-token-url and --api-key-file go together";
    if (given("--ca") && !o.tls && !o.directoryTls) return "--ca goes with --tls or an https:// --directory";
    return "";
}

}  // namespace

std::string defaultName(const std::string& userId) {
    const size_t at = userId.find('@');
    return at == std::string::npos || at == 0 ? userId : userId.substr(0, at);
}

std::string splitUserIds(const std::string& list, std::vector<std::string>* out) {
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string id = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (std::string err = checkUserId("user list", id); !err.empty()) return err + " in \"" + list + "\"";
        out->push_back(id);
        if (comma == std::string::npos) return "";
        start = comma + 1;
    }
}

cli_parse_t parseCliArgs(const std::vector<std::string>& args) {
    cli_parse_t r;
    r.options.timeoutSec = kDefaultTimeoutSec;
    std::vector<std::string> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto handler = valueOptions().find(name);
        if (handler == valueOptions().end()) {
            if (value || !setFlag(name, &r)) {
                r.error = name.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument \"" + name + "\"";
                return r;
            }
            if (r.help || r.version) return r;
            continue;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                r.error = name + " needs a value";
                return r;
            }
            value = args[++i];
        }
        if (std::string err = handler->second(*value, &r.options); !err.empty()) {
            r.error = err;
            return r;
        }
        seen.push_back(name);
    }
    if (std::string err = checkCombination(r.options, seen); !err.empty()) {
        r.error = err;
        return r;
    }
    if (r.options.name.empty()) r.options.name = defaultName(r.options.userId);
    r.ok = true;
    return r;
}

std::string usageText() {
    return "usage: tolvex-cli --server HOST:PORT [--directory HOST:PORT] --user ID [--name TEXT] [--mobile]\n"
           "                  --room N [--create] [--invite ID,...] [--send TEXT [--wait-result]] [--timeout SEC]\n"
           "                  [--token TOKEN | --token-file FILE | --was-token-url URL --api-key-file FILE]\n"
           "                  [--tls [--ca FILE]]\n"
           "\n"
           "Opens room N on tolvexd (--create: opens it as a new room with the invited users;\n"
           "otherwise joins it) and chats: every line typed is a message. Commands:\n"
           "  /invite ID[,ID...]     invite users           /kick ID         remove a member\n"
           "  /attach NAME SIZE URL  send a file notice     /typing [off]    say you are typing\n"
           "  /members               list the members       /leave           leave the room for good\n"
           "  /quit                  close the connection   /help            this list\n"
           "A line starting with // sends the text after the first slash.\n"
           "\n"
           "  --server HOST:PORT  the daemon's service address\n"
           "  --directory [https://]HOST:PORT\n"
           "                      ask this tolvex-was which daemon serves the room and connect\n"
           "                      there (its host, or --server's when it reports none); a room\n"
           "                      it does not know or no daemon holds goes to --server; https://\n"
           "                      asks over HTTPS, verified against --ca\n"
           "  --user ID           your user id (at most 256 bytes)\n"
           "  --name TEXT         your display name (default: the id up to '@')\n"
           "  --mobile            connect as a mobile device (default: PC)\n"
           "  --room N            the room id\n"
           "  --create            open a new room instead of joining one; if room N exists,\n"
           "                      say so and list its members (--send then sends nothing)\n"
           "  --invite ID,...     users to invite once the room is open\n"
           "  --send TEXT         one-shot: send TEXT, wait for its MSG_ACK and exit\n"
           "  --wait-result       with --send: also wait for every other member's delivery outcome\n"
           "  --timeout SEC       bound of the one-shot run and of opening the room (default 20)\n"
           "  --token TOKEN       a join token, sent in AUTH before anything else (a daemon with\n"
           "                      auth_mode required admits nothing without one)\n"
           "  --token-file FILE   the same, the file's first line\n"
           "  --was-token-url URL fetch the token for --user, --room and the device kind from a\n"
           "                      tolvex-was token page (http://HOST:PORT/was/token) ...\n"
           "  --api-key-file FILE ... sending the file's first line as its X-Api-Key\n"
           "  --tls               speak TLS (1.2 or 1.3) to the daemon's TLS listener; its\n"
           "                      certificate must name the host connected to\n"
           "  --ca FILE           PEM CA certificates to verify it (and an https:// --directory)\n"
           "                      with (the system store)\n"
           "  --help, --version\n"
           "\n"
           "At the end of standard input the client waits up to 3 s for the delivery reports\n"
           "still due, then closes. Exit status: 0 done, 1 refused, closed or no MSG_ACK,\n"
           "2 usage, 3 server unreachable, 4 server still loading its rooms,\n"
           "5 accepted but some delivery outcomes missing at the timeout,\n"
           "6 the server does not answer like tolvexd (a reply that is no valid packet,\n"
           "  or no answer to the join nor to a keep-alive ping).\n";
}

}  // namespace cli
