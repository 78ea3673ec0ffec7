#pragma once
// Read-only connections to the store's file, each lent to one request at a
// time and kept for the next: in WAL mode they read beside the writer, and
// a read begun after a write was answered sees that write. Owned by
// WasStore; any thread. Grows to the number of concurrent readers.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SqliteDb;

class SqliteReaderPool {
public:
    explicit SqliteReaderPool(std::string path);
    SqliteReaderPool(const SqliteReaderPool&) = delete;
    SqliteReaderPool& operator=(const SqliteReaderPool&) = delete;
    ~SqliteReaderPool();

    // One connection until the lease ends; the pool must outlive it.
    class Lease {
    public:
        Lease(SqliteReaderPool& pool, std::unique_ptr<SqliteDb> db);
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();
        SqliteDb& operator*() { return *m_db; }
        SqliteDb* operator->() { return m_db.get(); }

    private:
        SqliteReaderPool& m_pool;
        std::unique_ptr<SqliteDb> m_db;
    };

    // Opens a connection when none is idle; throws SqliteError when that fails.
    Lease lend();

private:
    void giveBack(std::unique_ptr<SqliteDb> db);

    const std::string m_path;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<SqliteDb>> m_idle;  // guarded by m_mutex
};
