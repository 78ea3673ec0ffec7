// tolvex-was: the reference WAS. Parses the command line, opens the store and
// serves until SIGINT or SIGTERM; with --dump prints the store and exits,
// with --release-daemon releases a daemon's rooms and exits.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "was/PgConnection.h"
#include "was/PgStore.h"
#include "was/SqliteDb.h"
#include "was/TokenCommand.h"
#include "was/TokenSigner.h"
#include "was/WasDump.h"
#include "was/WasOptions.h"
#include "was/WasServer.h"
#include "was/WasStore.h"

#include "TolvexVersion.h"

namespace {

int dumpStore(const std::string& path) {
    if (isPostgresLocation(path)) {
        dumpPgDatabase(path, std::cout);
        return 0;
    }
    if (!std::filesystem::exists(path)) {
        fprintf(stderr, "tolvex-was: no database at %s\n", path.c_str());
        return 1;
    }
    SqliteDb db(path, SqliteDb::Mode::ReadOnly);
    dumpDatabase(db, std::cout);
    return 0;
}

// Moves the rooms of a daemon that is gone for good back to no daemon; the
// next daemon to load or reload each takes it.
int releaseRooms(const was_options_t& options) {
    if (!isPostgresLocation(options.dbPath) && !std::filesystem::exists(options.dbPath)) {
        fprintf(stderr, "tolvex-was: no database at %s\n", options.dbPath.c_str());
        return 1;
    }
    store_settings_t settings;
    settings.commit.window = std::chrono::microseconds(0);  // one write: nothing to share a commit with
    const daemon_address_t& daemon = options.releaseDaemon;
    uint64_t released = openWasStore(options.dbPath, settings)->releaseDaemon(daemon);
    printf("released %llu rooms held by %s:%u\n", static_cast<unsigned long long>(released),
           daemon.ip.c_str(), daemon.port);
    return 0;
}

// The token page's API key: the file's first line.
bool readApiKey(const std::string& path, std::string* key, std::string* error) {
    std::ifstream in(path);
    if (!in || !std::getline(in, *key)) {
        *error = "--api-key-file " + path + ": cannot be read";
        return false;
    }
    while (!key->empty() && (key->back() == '\r' || key->back() == ' ')) key->pop_back();
    if (key->size() < 16) {
        *error = "--api-key-file " + path + ": a key of fewer than 16 characters";
        return false;
    }
    return true;
}

void createParentDirectory(const std::string& path) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
}

int serve(const was_options_t& options) {
    // A start-up room list is built in blocks of a few megabytes. Mapped on
    // their own, they go back to the system once sent, instead of staying
    // in the heap of whichever worker built them: one per worker, each the
    // size of the list.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    if (!isPostgresLocation(options.dbPath)) createParentDirectory(options.dbPath);
    // Each write in a batch holds a worker thread while it waits, so a batch
    // larger than the pool would never fill and always wait out the window.
    store_settings_t settings;
    settings.commit = options.commit;
    settings.commit.maxBatch = std::min(settings.commit.maxBatch, options.server.threads);
    settings.pgConnections = options.dbConnections;
    std::unique_ptr<WasStore> opened = openWasStore(options.dbPath, settings);
    WasStore& store = *opened;
    for (const std::string& user : options.noDeviceUsers) store.setNoDevice(user, true);

    // Block the stop signals in every thread; one thread waits for them, so
    // stopping happens outside any signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    was_server_settings_t serverSettings = options.server;
    if (!options.signingKey.empty()) {
        std::string error;
        std::shared_ptr<TokenSigner> signer = TokenSigner::load(options.signingKey, options.kid, &error);
        if (!signer || !readApiKey(options.apiKeyFile, &serverSettings.tokenApiKey, &error)) {
            fprintf(stderr, "tolvex-was: %s\n", error.c_str());
            return 1;
        }
        serverSettings.tokenSigner = std::move(signer);
    }
    WasServer server(store, serverSettings);
    std::string reason;
    int port = server.bind(options.host, options.port, reason);
    if (port < 0) {
        fprintf(stderr, "tolvex-was: cannot listen on %s:%d: %s\n", options.host.c_str(),
                options.port, reason.c_str());
        return 1;
    }
    std::atomic<bool> finished{false};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        // A signal that comes before serving has started must still stop it.
        while (!finished && !server.isRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server.stop();
    });
    // A PostgreSQL location may carry a password, which has no place in a log.
    const std::string shown = isPostgresLocation(options.dbPath)
                                  ? pgLocationForLog(options.dbPath)
                                  : options.dbPath;
    fprintf(stderr, "tolvex-was: listening on %s%s:%d, database %s\n",
            options.server.certFile.empty() ? "" : "https://", options.host.c_str(), port, shown.c_str());
    bool served = server.run();
    finished = true;
    pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter if no signal came
    waiter.join();
    return served ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "token") return runTokenCommand(argc - 1, argv + 1, stdout, stderr);
    was_options_t options;
    std::string error;
    if (!parseWasOptions(argc, argv, options, error)) {
        fprintf(stderr, "tolvex-was: %s\n%s", error.c_str(), wasUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::cout << wasUsage();
        return 0;
    }
    if (options.version) {
        std::cout << "tolvex-was " << TOLVEX_VERSION << "\n";
        return 0;
    }
    try {
        if (options.releaseDaemon.known()) return releaseRooms(options);
        return options.dump ? dumpStore(options.dbPath) : serve(options);
    } catch (const std::exception& e) {
        fprintf(stderr, "tolvex-was: %s\n", e.what());
        return 1;
    }
}
