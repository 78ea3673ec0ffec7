#pragma once
// A fixed number of connections to the PostgreSQL store, each lent to one
// request at a time and kept for the next, with the statements prepared on
// it. Owned by PgStore; any thread. A caller waits while all are out. A
// connection given back broken (the server went away, or it was left inside
// a transaction) is closed, and so are the idle ones, which a restarted
// server has dropped as well; the next lend connects afresh.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "was/PgConnection.h"

class PgPool {
public:
    // Connects once at start, so that a wrong location fails here and not
    // at the first request; throws PgError.
    PgPool(std::string location, size_t size);
    PgPool(const PgPool&) = delete;
    PgPool& operator=(const PgPool&) = delete;
    ~PgPool();

    // One connection until the lease ends; the pool must outlive it.
    class Lease {
    public:
        Lease(PgPool& pool, std::unique_ptr<PgConnection> conn);
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();
        PgConnection& operator*() { return *m_conn; }
        PgConnection* operator->() { return m_conn.get(); }

    private:
        PgPool& m_pool;
        std::unique_ptr<PgConnection> m_conn;
    };

    // Waits for a connection; connects when none is idle. Throws PgError
    // when connecting fails (the slot is free again for the next caller).
    Lease lend();

private:
    void giveBack(std::unique_ptr<PgConnection> conn);

    const std::string m_location;
    const size_t m_size;
    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::vector<std::unique_ptr<PgConnection>> m_idle;  // guarded by m_mutex
    size_t m_lent = 0;                                  // guarded by m_mutex
};
