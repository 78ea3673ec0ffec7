// tolvex-bench: opens rooms on a running tolvexd, drives messages through
// them and prints relay throughput and latency. See README.md.

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchOptions.h"
#include "bench/BenchReport.h"
#include "bench/BenchRoster.h"
#include "bench/LoadRunner.h"
#include "bench/RedisLoad.h"
#include "bench/RoomBuilder.h"
#include "client/TokenFetch.h"

#include "TolvexVersion.h"

namespace {

// Every member and idle connection holds a socket; the default soft limit
// of 1024 is too low for large rooms. "" or why the limit could not be met.
std::string ensureDescriptors(int connections) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return "";
    const rlim_t need = static_cast<rlim_t>(connections) + 64;
    if (lim.rlim_cur >= need) return "";
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < need)
        return "need " + std::to_string(need) + " descriptors, the hard limit is " + std::to_string(lim.rlim_max);
    lim.rlim_cur = need;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return "could not raise the descriptor limit";
    return "";
}

void print(const bench::bench_report_t& report) {
    const std::string text = report.options.json ? bench::formatJson(report) + "\n" : bench::formatText(report);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::parse_result_t parsed = bench::parseBenchArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(bench::usageText().c_str(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::printf("tolvex-bench %s\n", TOLVEX_VERSION);
        return 0;
    }
    if (!parsed.ok) {
        std::fprintf(stderr, "tolvex-bench: %s\n\n%s", parsed.error.c_str(), bench::usageText().c_str());
        return 2;
    }
    const bench::bench_options_t& options = parsed.options;
    // A TLS write to a connection the server closed must fail, not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string tag = options.tag.empty() ? bench::defaultTag() : options.tag;
    const uint32_t roomBase = options.roomBase ? options.roomBase : bench::defaultRoomBase();
    std::vector<bench::room_plan_t> rooms = bench::planRoster(options, tag, roomBase);

    bench::bench_report_t failed;
    failed.options = options;
    failed.senders = bench::effectiveSenders(options);
    failed.connections = options.rooms * options.members;
    if (options.peer == bench::Peer::kRedis) failed.connections += failed.senders;  // their publishing connections
    if (std::string err = ensureDescriptors(failed.connections + options.idle); !err.empty()) {
        failed.setupError = err;
        print(failed);
        return 1;
    }
    if (options.peer == bench::Peer::kRedis) {
        const bench::bench_report_t report = bench::runRedisLoad(options, std::move(rooms));
        print(report);
        return report.clean() ? 0 : 1;
    }

    std::string apiKey;
    if (!options.apiKeyFile.empty()) {
        std::string err;
        if (!client::readFirstLine(options.apiKeyFile, &apiKey, &err)) {
            failed.setupError = "--api-key-file " + err;
            print(failed);
            return 1;
        }
    }
    const auto builder = [&] {
        auto b = std::make_unique<bench::RoomBuilder>(options.host, options.port);
        if (!options.wasTokenUrl.empty()) b->useTokenPage(options.wasTokenUrl, apiKey);
        if (options.tls) b->useTls({.caFile = options.caFile, .hostName = options.host});
        return b;
    };
    const auto setupStart = std::chrono::steady_clock::now();
    std::vector<std::vector<std::unique_ptr<bench::BenchConnection>>> conns;
    if (std::string err = builder()->build(rooms, &conns); !err.empty()) {
        failed.setupError = err;
        print(failed);
        return 1;
    }
    const double setupSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - setupStart).count();
    if (options.progress)
        std::fprintf(stderr, "tolvex-bench: %s of %d members open in %.2f s\n",
                     bench::counted(options.rooms, "room", "rooms").c_str(), options.members, setupSec);

    // The load rooms open first: a daemon that runs out of connections must
    // do so on the idle ones, which the run then reports.
    std::vector<std::unique_ptr<bench::BenchConnection>> idleConns;
    bench::idle_setup_t idle;
    const auto idleStart = std::chrono::steady_clock::now();
    if (options.idle > 0) {
        const auto idleRooms = bench::planIdleRoster(options, tag, roomBase);
        idle = builder()->buildIdle(idleRooms, &idleConns, options.progress);
    }
    const double idleSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - idleStart).count();
    if (options.progress && options.idle > 0)
        std::fprintf(stderr, "tolvex-bench: %d of %d idle connections open in %.2f s%s%s\n", idle.open, options.idle,
                     idleSec, idle.refused ? "; first refusal: " : "", idle.firstRefusal.c_str());

    bench::LoadRunner runner(options, std::move(rooms), std::move(conns), std::move(idleConns));
    bench::bench_report_t report = runner.run();
    report.setupSec = setupSec;
    report.idleOpen = idle.open;
    report.idleRefused = idle.refused;
    report.idleRefusal = idle.firstRefusal;
    report.idleSetupSec = idleSec;
    print(report);
    return report.clean() ? 0 : 1;
}
