#pragma once
// The command line of tolvex-bench as a plain value, and its parser. The
// parser checks every bound (counts, rates, sizes, loopback only), so the
// runner can trust what it gets. Pure functions; any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// What the load runs against: tolvexd, or Redis pub/sub for comparison.
enum class Peer { kTolvex, kRedis };

struct bench_options_t {
    Peer peer = Peer::kTolvex;
    std::string host;  // a 127.0.0.0/8 address, in dotted form
    int port = 0;
    int rooms = 1;
    int members = 2;        // per room, the creator included
    int senders = 0;        // 0: one per room
    double rate = 0;        // messages per second per sender; 0: closed loop
    int window = 1;         // closed loop: unacknowledged messages per sender
    double durationSec = 5;
    // After the last send, wait this long for ACKs, relays and delivery
    // reports; the daemon sends its MSG_RESULT notices every two seconds.
    double drainSec = 5;
    int messageSize = 64;   // bytes of message text
    double mobileShare = 0; // share of the invited members that connect as mobile
    bool relayAck = true;   // members answer every relay with MSG_RELAY_ACK
    int idle = 0;           // extra connections that join idle rooms and stay silent
    // Receivers that stop reading for a while, to see what one slow client
    // costs the others (tolvexd only). 0: none.
    int stallReceivers = 0;
    double stallAtSec = 10;   // after the first send
    double stallForSec = 10;
    bool json = false;
    bool progress = true;   // one line per second on stderr
    uint32_t roomBase = 0;  // first room id; 0: derived from the clock
    std::string tag;        // prefix of every user id; empty: derived from pid and clock
    // Join tokens (tolvexd only): each connection's token, for its user,
    // room and device kind, asked of this tolvex-was token page with the
    // API key in apiKeyFile, and presented in AUTH before the room requests.
    std::string wasTokenUrl;
    std::string apiKeyFile;
    // Every connection speaks TLS, verifying the server's certificate for
    // host against caFile (empty: the system store).
    bool tls = false;
    std::string caFile;
};

// Limits that keep one run bounded on a small shared machine.
inline constexpr int kMaxRooms = 1000;
inline constexpr int kMaxMembers = 1000;
inline constexpr int kMaxConnections = 10000;
inline constexpr int kMaxIdle = 20000;
inline constexpr int kIdleRoomSize = 20;  // members per idle room
inline constexpr int kMaxIdleRooms = (kMaxIdle + kIdleRoomSize - 1) / kIdleRoomSize;
inline constexpr double kMaxRate = 100000;
inline constexpr int kMaxWindow = 1000;
inline constexpr double kMaxDurationSec = 3600;
inline constexpr double kMaxDrainSec = 60;
inline constexpr int kMinMessageSize = 24;  // the send time travels in the text
// Over Redis the sender's member index and the message number travel too.
inline constexpr int kMinRedisMessageSize = 28;
inline constexpr int kMaxMessageSize = 8192;
inline constexpr size_t kMaxTagLen = 32;
// A stalled receiver's kernel receive buffer, set before it connects so the
// window it offers stays small and the daemon's queue, not ours, fills up.
inline constexpr int kStalledReceiveBuffer = 4096;

struct parse_result_t {
    bench_options_t options;
    bool ok = false;
    bool help = false;     // --help: print usageText() and stop
    bool version = false;  // --version: print the version and stop
    std::string error;     // set when none of the above
};

// args excludes the program name.
parse_result_t parseBenchArgs(const std::vector<std::string>& args);
std::string usageText();

// The number of senders a run will really use (options.senders or one per room).
int effectiveSenders(const bench_options_t& options);
// The most members one room gives to n roles spread round robin over the
// rooms (room 0 gets the most): senders from the front, stalled receivers
// from the back.
int perRoomShare(const bench_options_t& options, int n);

}  // namespace bench
