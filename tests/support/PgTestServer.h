#pragma once
// A real PostgreSQL server for the tests: a cluster in a temporary folder,
// listening on a free loopback port, tuned for speed over durability. One
// server serves a whole ctest run (tolvex-test-pg starts it before the tests
// and stops it after; each test process finds it through TOLVEX_TEST_PG).
// A test binary run by hand starts its own on first use and stops it at
// exit. shared() and the database calls may be used from any thread.

#include <atomic>
#include <string>

class PgTestServer {
public:
    // The variable naming the folder of the ctest run's server.
    static constexpr const char* kEnvironmentVariable = "TOLVEX_TEST_PG";

    // The server of this process: the run's when the variable is set,
    // otherwise a private one. Throws std::runtime_error when none can be
    // reached or started.
    static PgTestServer& shared();

    // The control program's halves: start a server whose whereabouts are
    // written into dir (a stale one left there is stopped first), and stop
    // the one dir names, removing its cluster.
    static void startInto(const std::string& dir);
    static void stopFrom(const std::string& dir);

    PgTestServer(const PgTestServer&) = delete;
    PgTestServer& operator=(const PgTestServer&) = delete;
    ~PgTestServer();

    int port() const { return m_port; }
    // Creates an empty database with a name no other test process uses and
    // returns its connection string: postgresql://postgres@127.0.0.1:PORT/NAME.
    std::string freshDatabase();
    // Drops a database freshDatabase() made, closing its sessions, so a long
    // run does not pile databases up.
    void dropDatabase(const std::string& connection);

private:
    PgTestServer();
    // Runs a statement on the maintenance database; throws on failure.
    void administer(const std::string& statement) const;

    int m_port = 0;
    std::string m_folder;  // of the private cluster; empty for the run's
    int m_ownerPid = 0;    // only the process that started it stops it
    std::atomic<unsigned> m_counter{0};
};
