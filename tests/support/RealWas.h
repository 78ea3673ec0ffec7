#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"

// tolvex-was on a free loopback port with a database in a test's folder (or
// at any --db location, a PostgreSQL one say), serving the page paths
// DaemonHarness configures, so a daemon started with
// Options::wasAddress = address() persists through the real backend.
class RealWas {
public:
    explicit RealWas(const TempDir& dir);
    explicit RealWas(std::string db) : m_db(std::move(db)) {}
    RealWas(const RealWas&) = delete;
    RealWas& operator=(const RealWas&) = delete;
    ~RealWas();

    bool start();
    // SIGKILL: the WAS is gone at once, mid-request if need be.
    void kill();
    // Starts it again on the same port and database.
    bool restart();
    // Serves HTTPS with this PEM pair from the next start on; address() then
    // names it as a waslist entry does: https://127.0.0.1:port.
    void useTls(std::string cert, std::string key) {
        m_cert = std::move(cert);
        m_key = std::move(key);
    }
    std::string address() const { return (m_cert.empty() ? "" : "https://") + listenAddress(); }
    std::string listenAddress() const { return "127.0.0.1:" + std::to_string(m_port); }
    int port() const { return m_port; }
    std::string stderrText() const { return m_process ? m_process->stderrText() : ""; }

    // Adds rooms that have not ended, of members each, with tolvex-was-seed
    // (rooms 1..rooms; member k of room r is u<r>-<k>@m.example.com).
    bool seed(int rooms, int members) const;

    // What the database holds, as tolvex-was --dump prints it.
    std::string dump() const;

private:
    std::vector<std::string> args() const;
    bool launch();

    std::string m_db;
    std::string m_cert;
    std::string m_key;
    int m_port = 0;
    std::unique_ptr<Process> m_process;
};
