#pragma once
// The WAS's HTTP front: one POST route per page, answered with a binary body
// on a connection closed after the reply (the daemon reads until the close).
// Owned by main or a test. run() blocks its caller while a worker pool
// answers; stop() may come from any thread once isRunning().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

#include "was/MessagePages.h"
#include "was/RoomPages.h"
#include "was/WasPagePaths.h"

class TokenSigner;
class WasStore;

struct was_server_settings_t {
    was_page_paths_t pages;
    uint32_t roomsPerPage = 100;  // not-ended rooms per page, load mode other than "all"
    // A thread that waits for its commit costs no CPU, and each one is a
    // request that can share that commit.
    size_t threads = 32;
    // The token page, served when there is a signer: a form POST of user,
    // room, device and ttl with the API key in X-Api-Key, answered with a
    // token (401 without the key, 400 for a bad field).
    std::string tokenPage = "/was/token";
    std::shared_ptr<const TokenSigner> tokenSigner;
    std::string tokenApiKey;
    // Both set: HTTPS (TLS 1.2 or 1.3) with this PEM certificate and key.
    std::string certFile;
    std::string keyFile;
};

class WasServer {
public:
    WasServer(WasStore& store, const was_server_settings_t& settings);
    WasServer(const WasServer&) = delete;
    WasServer& operator=(const WasServer&) = delete;
    ~WasServer();

    // Binds host:port alone (no second WAS may share it) and listens with a
    // deep backlog; port 0 picks a free one. Returns the port bound, or -1
    // with reason set to why, as strerror or the resolver words it.
    int bind(const std::string& host, int port, std::string& reason);
    // Serves until stop(). False when serving could not start.
    bool run();
    bool isRunning() const;
    void stop();

private:
    template <typename Pages, typename Reply>
    void route(const std::string& path, Pages& pages, Reply (Pages::*page)(std::string_view));

    void routeTokenPage(const was_server_settings_t& settings);

    MessagePages m_messages;
    RoomPages m_rooms;
    std::unique_ptr<httplib::Server> m_http;  // an httplib::SSLServer for HTTPS
};
