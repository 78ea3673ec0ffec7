#include "bench/BenchOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace bench {

namespace {

using Setter = std::function<std::string(bench_options_t&, const std::string&)>;

// "" when text is a whole integer within [lo, hi], else the complaint.
template <typename T>
std::string readInt(const std::string& name, const std::string& text, T lo, T hi, T* out) {
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return name + ": not a whole number: '" + text + "'";
    if (value < lo || value > hi)
        return name + ": " + text + " is outside " + std::to_string(lo) + ".." + std::to_string(hi);
    *out = value;
    return "";
}

std::string readDouble(const std::string& name, const std::string& text, double lo, double hi, double* out) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || !std::isfinite(value)) return name + ": not a number: '" + text + "'";
    if (value < lo || value > hi) return name + ": " + text + " is outside the allowed range";
    *out = value;
    return "";
}

// HOST:PORT where HOST is localhost or an IPv4 loopback address.
std::string readServer(const std::string& text, bench_options_t* o) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return "--server: expected HOST:PORT, got '" + text + "'";
    std::string host = text.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return "--server: not an IPv4 address: '" + host + "'";
    // The tool loads a daemon hard; it is meant for a daemon on this machine.
    if ((ntohl(addr.s_addr) >> 24) != 127) return "--server: only loopback addresses (127.0.0.0/8) are allowed";
    int port = 0;
    if (std::string err = readInt<int>("--server port", text.substr(colon + 1), 1, 65535, &port); !err.empty())
        return err;
    o->host = host;
    o->port = port;
    return "";
}

std::string readTag(const std::string& text, bench_options_t* o) {
    if (text.empty() || text.size() > kMaxTagLen) return "--tag: 1 to " + std::to_string(kMaxTagLen) + " characters";
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_';
        if (!plain) return "--tag: letters, digits, '-' and '_' only";
    }
    o->tag = text;
    return "";
}

std::string readPeer(const std::string& text, bench_options_t* o) {
    if (text == "tolvex") o->peer = Peer::kTolvex;
    else if (text == "redis") o->peer = Peer::kRedis;
    else return "--peer: 'tolvex' or 'redis', got '" + text + "'";
    return "";
}

const std::map<std::string, Setter>& valueOptions() {
    using O = bench_options_t;
    static const std::map<std::string, Setter> table = {
        {"--server", [](O& o, const std::string& v) { return readServer(v, &o); }},
        {"--peer", [](O& o, const std::string& v) { return readPeer(v, &o); }},
        {"--rooms", [](O& o, const std::string& v) { return readInt("--rooms", v, 1, kMaxRooms, &o.rooms); }},
        {"--members",
         [](O& o, const std::string& v) { return readInt("--members", v, 2, kMaxMembers, &o.members); }},
        {"--senders",
         [](O& o, const std::string& v) { return readInt("--senders", v, 1, kMaxConnections, &o.senders); }},
        {"--rate", [](O& o, const std::string& v) { return readDouble("--rate", v, 0, kMaxRate, &o.rate); }},
        {"--window", [](O& o, const std::string& v) { return readInt("--window", v, 1, kMaxWindow, &o.window); }},
        {"--duration",
         [](O& o, const std::string& v) { return readDouble("--duration", v, 0.1, kMaxDurationSec, &o.durationSec); }},
        {"--drain", [](O& o, const std::string& v) { return readDouble("--drain", v, 0, kMaxDrainSec, &o.drainSec); }},
        {"--size",
         [](O& o, const std::string& v) {
             return readInt("--size", v, kMinMessageSize, kMaxMessageSize, &o.messageSize);
         }},
        {"--mobile-share",
         [](O& o, const std::string& v) { return readDouble("--mobile-share", v, 0, 1, &o.mobileShare); }},
        {"--room-base",
         [](O& o, const std::string& v) {
             return readInt<uint32_t>("--room-base", v, 1, 0xFFFFFFFFu - kMaxRooms - kMaxIdleRooms, &o.roomBase);
         }},
        {"--tag", [](O& o, const std::string& v) { return readTag(v, &o); }},
        {"--was-token-url",
         [](O& o, const std::string& v) {
             o.wasTokenUrl = v;
             return v.rfind("http://", 0) == 0 ? std::string() : "--was-token-url wants http://HOST:PORT/PATH";
         }},
        {"--api-key-file", [](O& o, const std::string& v) { return o.apiKeyFile = v, std::string(); }},
        {"--ca", [](O& o, const std::string& v) { return o.caFile = v, std::string(); }},
        {"--idle", [](O& o, const std::string& v) { return readInt("--idle", v, 0, kMaxIdle, &o.idle); }},
        {"--stall-receivers",
         [](O& o, const std::string& v) {
             return readInt("--stall-receivers", v, 0, kMaxConnections, &o.stallReceivers);
         }},
        {"--stall-at",
         [](O& o, const std::string& v) { return readDouble("--stall-at", v, 0, kMaxDurationSec, &o.stallAtSec); }},
        {"--stall-for",
         [](O& o, const std::string& v) {
             return readDouble("--stall-for", v, 0.1, kMaxDurationSec, &o.stallForSec);
         }},
    };
    return table;
}

const std::map<std::string, std::function<void(bench_options_t&)>>& flagOptions() {
    using O = bench_options_t;
    static const std::map<std::string, std::function<void(O&)>> table = {
        {"--no-relay-ack", [](O& o) { o.relayAck = false; }},
        {"--json", [](O& o) { o.json = true; }},
        {"--tls", [](O& o) { o.tls = true; }},
        {"--quiet", [](O& o) { o.progress = false; }},
    };
    return table;
}

// Redis has no devices, idle sessions or relay ACKs to model.
std::string redisCheck(const bench_options_t& o) {
    if (o.idle > 0) return "--idle is not available with --peer redis";
    if (o.mobileShare > 0) return "--mobile-share is not available with --peer redis";
    // The Redis load keeps every subscriber reading.
    if (o.stallReceivers > 0) return "--stall-receivers is not available with --peer redis";
    if (o.messageSize < kMinRedisMessageSize)
        return "--peer redis needs --size " + std::to_string(kMinRedisMessageSize) + " or more";
    // Each sender also holds a publishing connection.
    if (static_cast<long>(o.rooms) * o.members + effectiveSenders(o) > kMaxConnections)
        return "--rooms x --members plus the senders is over " + std::to_string(kMaxConnections) + " connections";
    return "";
}

// Stalled receivers must be members that do not send, and the run must go
// on sending after the stall to show how the others recover.
std::string stallCheck(const bench_options_t& o) {
    if (o.stallReceivers == 0) return "";
    if (perRoomShare(o, effectiveSenders(o)) + perRoomShare(o, o.stallReceivers) > o.members)
        return "--stall-receivers: not enough members that do not send (stalled receivers are taken from the "
               "end of each room, round robin)";
    if (o.stallAtSec + o.stallForSec >= o.durationSec)
        return "--stall-at + --stall-for must end before --duration, so that sending goes on after the stall";
    return "";
}

// Checks that need several options at once.
std::string crossCheck(const bench_options_t& o) {
    if (o.port == 0) return "--server HOST:PORT is required";
    if (static_cast<long>(o.rooms) * o.members > kMaxConnections)
        return "--rooms x --members is over " + std::to_string(kMaxConnections) + " connections";
    if (o.senders > o.rooms * o.members) return "--senders is more than rooms x members";
    if (o.wasTokenUrl.empty() != o.apiKeyFile.empty()) return "--was-token-url and --api-key-file go together";
    if (!o.wasTokenUrl.empty() && o.peer == Peer::kRedis) return "--was-token-url is for tolvexd only";
    if (!o.caFile.empty() && !o.tls) return "--ca goes with --tls";
    return o.peer == Peer::kRedis ? redisCheck(o) : stallCheck(o);
}

}  // namespace

int effectiveSenders(const bench_options_t& options) {
    return options.senders > 0 ? options.senders : options.rooms;
}

int perRoomShare(const bench_options_t& options, int n) {
    return options.rooms > 0 ? (n + options.rooms - 1) / options.rooms : n;
}

parse_result_t parseBenchArgs(const std::vector<std::string>& args) {
    parse_result_t r;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        if (name == "--help" || name == "-h") {
            r.help = true;
            return r;
        }
        if (name == "--version") {
            r.version = true;
            return r;
        }
        if (auto flag = flagOptions().find(name); flag != flagOptions().end() && !inlineValue) {
            flag->second(r.options);
            continue;
        }
        auto opt = valueOptions().find(name);
        if (opt == valueOptions().end()) {
            r.error = "unknown option '" + args[i] + "'";
            return r;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                r.error = name + " needs a value";
                return r;
            }
            value = args[++i];
        }
        if (std::string err = opt->second(r.options, value); !err.empty()) {
            r.error = err;
            return r;
        }
    }
    r.error = crossCheck(r.options);
    r.ok = r.error.empty();
    // Redis subscribers cannot acknowledge what they receive.
    if (r.options.peer == Peer::kRedis) r.options.relayAck = false;
    return r;
}

std::string usageText() {
    return "usage: tolvex-bench --server HOST:PORT [options]\n"
           "Opens rooms on a running tolvexd, sends messages and measures their relay.\n"
           "  --peer P           tolvex (the default) or redis: drive Redis pub/sub instead,\n"
           "                     one channel per room, for comparison\n"
           "  --rooms R          rooms to open (1)\n"
           "  --members K        members per room, creator included (2)\n"
           "  --senders N        members that send, spread over the rooms (one per room)\n"
           "  --rate X           messages per second per sender; 0 sends the next one\n"
           "                     as soon as MSG_ACK frees the window (0); a daemon's\n"
           "                     session_msg_rate (50 by default) closes a faster sender\n"
           "  --window W         closed loop: messages a sender keeps unacknowledged (1)\n"
           "  --duration S       seconds of sending (5)\n"
           "  --drain S          seconds to wait afterwards for late ACKs, relays and\n"
           "                     delivery reports (5)\n"
           "  --size B           bytes of message text, 24..8192 (64)\n"
           "  --mobile-share F   share of invited members connecting as mobile, 0..1 (0)\n"
           "  --no-relay-ack     members do not acknowledge relays (the delivery reports\n"
           "                     then wait for the daemon's relay-ACK timeout)\n"
           "  --idle N           N more connections that join idle rooms of " + std::to_string(kIdleRoomSize) + "\n"
           "                     and stay silent, 0.." + std::to_string(kMaxIdle) + " (0)\n"
           "  --stall-receivers N  N members that do not send stop reading for a while:\n"
           "                     the last member of each room, round robin (the last but\n"
           "                     one on the next round); a small receive buffer, and the\n"
           "                     report adds the other receivers' relay latency before,\n"
           "                     during and after the stall (0; tolvexd only)\n"
           "  --stall-at S       seconds after the first send when they stop reading (10)\n"
           "  --stall-for S      seconds they stay stalled; the stall must end before\n"
           "                     --duration does (10)\n"
           "  --room-base ID     first room id (derived from the clock)\n"
           "  --was-token-url URL, --api-key-file FILE\n"
           "                     a join token per connection from this tolvex-was token page\n"
           "                     (http://HOST:PORT/was/token, the file's first line as the API\n"
           "                     key), presented in AUTH: for a daemon with auth_mode required\n"
           "  --tls              every connection speaks TLS (1.2 or 1.3); the server's\n"
           "                     certificate must name the --server address\n"
           "  --ca FILE          PEM CA certificates to verify it with (the system store)\n"
           "  --tag T            prefix of the generated user ids (derived from pid and clock)\n"
           "  --json             print the result as one JSON object\n"
           "  --quiet            no progress lines on stderr\n"
           "  --help, --version\n"
           "Only loopback servers are accepted. Latencies print in milliseconds (the JSON\n"
           "fields *_latency_us keep microseconds). Exit status: 0 clean run, 1 set-up\n"
           "failed or something was lost, late or in error, 2 bad command line.\n";
}

}  // namespace bench
