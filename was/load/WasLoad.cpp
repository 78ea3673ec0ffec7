// tolvex-was-load: posts save-message requests to a WAS the way the daemon
// does (HTTP/1.0, one connection per request, percent-encoded form) from a
// few client threads, then prints requests per second and latency
// percentiles. Each request is timed from connect() to the server's close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "TolvexVersion.h"

namespace {

const char* const kUsage =
    "usage: tolvex-was-load [--host H] [--port P] [--page PATH] [--requests N]\n"
    "                       [--concurrency C] [--rooms R] [--room-base B]\n"
    "       tolvex-was-load --help | --version\n"
    "Posts save-message requests to a WAS at H:P (default 127.0.0.1:7080) as the\n"
    "daemon does, from C client threads (default 8), and prints throughput and\n"
    "latency percentiles. Defaults: 20000 requests over 100 rooms, page\n"
    "/was/saveMessage, room ids from a base that changes with each run.\n";

struct load_settings_t {
    std::string host = "127.0.0.1";
    int port = 7080;
    std::string page = "/was/saveMessage";
    long requests = 20000;
    int concurrency = 8;
    long rooms = 100;
    long roomBase = 0;
};

struct thread_result_t {
    std::vector<double> latenciesMs;
    long failures = 0;  // transport errors and non-zero result codes
};

// The daemon's form encoding: letters, digits and !$'()*,-./;_ stay, every
// other byte (zero included) becomes %XX in upper case.
std::string encode(const std::string& bytes) {
    static const char* keep = "!$'()*,-./;_";
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        if (isalnum(c) || (c != 0 && strchr(keep, c))) {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string saveBody(const load_settings_t& s, long index) {
    long room = s.roomBase + index % s.rooms;
    long seq = index / s.rooms + 1;
    std::string text = "load message " + std::to_string(index) + " with a zero";
    text.push_back('\0');
    text += " byte and some words to make it look like chat";
    std::string users = "alice@x.load.example.com\tbob@x.load.example.com\tcarol@x.load.example.com";
    return "room_id=" + std::to_string(room) + "&send_user_id=" + encode("alice@x.load.example.com") +
           "&send_user_nick_name=" + encode("Alice Load") + "&msg=" + encode(text) +
           "&msg_seq=" + std::to_string(seq) + "&msg_type=1&recv_user_list=" + encode(users) +
           "&recv_user_nick_nm_list=" + encode("Alice\tBob\tCarol") +
           "&recv_user_join_seq_list=" + encode("1,2,3") + "&read_yn_list=" + encode("y,n,n") +
           "&time=" + std::to_string(time(nullptr)) + "&data_size=" + std::to_string(text.size()) +
           "&member_count=3&trid=" + std::to_string(index) +
           "&os_type=1&room_type=10&file_name=&file_size=0&file_url=";
}

std::string request(const load_settings_t& s, const std::string& body) {
    return "POST " + s.page +
           " HTTP/1.0\r\nContent-type: application/x-www-form-urlencoded\r\n"
           "Accept-Language: ko\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Sends one request and reads until the server closes. True when the reply
// carries result code 0.
bool postOnce(const sockaddr_in& addr, const std::string& wire) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    for (size_t sent = 0; ok && sent < wire.size();) {
        ssize_t n = send(fd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
        ok = n > 0;
        sent += ok ? static_cast<size_t>(n) : 0;
    }
    std::string reply;
    char buf[4096];
    ssize_t n = 0;
    while (ok && (n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
    close(fd);
    size_t body = reply.find("\r\n\r\n");
    if (!ok || n < 0 || body == std::string::npos || reply.size() < body + 8) return false;
    const unsigned char* h = reinterpret_cast<const unsigned char*>(reply.data() + body + 4);
    return h[0] == 0xFE && h[1] == 0 && h[2] == 0;
}

void runClient(const load_settings_t& s, const sockaddr_in& addr, std::atomic<long>& next,
               thread_result_t& result) {
    for (long i = next++; i < s.requests; i = next++) {
        std::string wire = request(s, saveBody(s, i));
        auto start = std::chrono::steady_clock::now();
        bool ok = postOnce(addr, wire);
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        result.latenciesMs.push_back(took.count());
        if (!ok) ++result.failures;
    }
}

enum class Command { Run, Help, Version, Bad };

template <typename Number>
bool parseNumber(const std::string& text, Number min, Number max, Number& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= min && out <= max;
}

bool takeOption(const std::string& name, const std::string& value, load_settings_t& s) {
    if (name == "--host") return s.host = value, true;
    if (name == "--page") return s.page = value, true;
    if (name == "--port") return parseNumber(value, 1, 65535, s.port);
    if (name == "--requests") return parseNumber(value, 1L, 10000000L, s.requests);
    // Each client is a thread; more than a few hundred measure the scheduler.
    if (name == "--concurrency") return parseNumber(value, 1, 1000, s.concurrency);
    if (name == "--rooms") return parseNumber(value, 1L, 1000000L, s.rooms);
    if (name == "--room-base") return parseNumber(value, 0L, 4000000000L, s.roomBase);
    return false;
}

Command parseArgs(int argc, char** argv, load_settings_t& s) {
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") return Command::Help;
        if (name == "--version") return Command::Version;
        if (i + 1 >= argc || !takeOption(name, argv[i + 1], s)) return Command::Bad;
    }
    return Command::Run;
}

double percentile(const std::vector<double>& sorted, double p) {
    size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    load_settings_t s;
    switch (parseArgs(argc, argv, s)) {
    case Command::Run:
        break;
    case Command::Help:
        fputs(kUsage, stdout);
        return 0;
    case Command::Version:
        printf("tolvex-was-load %s\n", TOLVEX_VERSION);
        return 0;
    case Command::Bad:
        fputs(kUsage, stderr);
        return 2;
    }
    // Fresh room ids per run, so a second run on the same database saves new
    // messages instead of repeating stored ones.
    if (s.roomBase == 0) s.roomBase = 1 + (time(nullptr) % 100000) * 1000;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(s.port));
    if (inet_pton(AF_INET, s.host.c_str(), &addr.sin_addr) != 1) {
        fprintf(stderr, "tolvex-was-load: bad host %s\n", s.host.c_str());
        return 2;
    }

    std::atomic<long> next{0};
    std::vector<thread_result_t> results(static_cast<size_t>(s.concurrency));
    std::vector<std::thread> clients;
    auto start = std::chrono::steady_clock::now();
    for (auto& result : results)
        clients.emplace_back([&, r = &result] { runClient(s, addr, next, *r); });
    for (auto& client : clients) client.join();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    std::vector<double> all;
    long failures = 0;
    for (const auto& result : results) {
        all.insert(all.end(), result.latenciesMs.begin(), result.latenciesMs.end());
        failures += result.failures;
    }
    std::sort(all.begin(), all.end());
    printf("requests %zu  concurrency %d  failures %ld  elapsed %.2f s\n", all.size(),
           s.concurrency, failures, elapsed.count());
    printf("throughput %.0f req/s\n", static_cast<double>(all.size()) / elapsed.count());
    printf("latency ms  p50 %.2f  p90 %.2f  p99 %.2f  p99.9 %.2f  max %.2f\n", percentile(all, 50),
           percentile(all, 90), percentile(all, 99), percentile(all, 99.9), all.back());
    return failures == 0 ? 0 : 1;
}
