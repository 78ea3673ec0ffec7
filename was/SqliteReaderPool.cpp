#include "was/SqliteReaderPool.h"

#include "was/SqliteDb.h"

SqliteReaderPool::SqliteReaderPool(std::string path) : m_path(std::move(path)) {}

SqliteReaderPool::~SqliteReaderPool() = default;

SqliteReaderPool::Lease::Lease(SqliteReaderPool& pool, std::unique_ptr<SqliteDb> db)
    : m_pool(pool), m_db(std::move(db)) {}

SqliteReaderPool::Lease::~Lease() {
    m_pool.giveBack(std::move(m_db));
}

SqliteReaderPool::Lease SqliteReaderPool::lend() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            std::unique_ptr<SqliteDb> db = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(db));
        }
    }
    // Opened outside the lock: opening reads the file.
    return Lease(*this, std::make_unique<SqliteDb>(m_path, SqliteDb::Mode::ReadOnly));
}

void SqliteReaderPool::giveBack(std::unique_ptr<SqliteDb> db) {
    // A transaction left open would pin an old snapshot, and the next reader
    // would miss writes already answered: such a connection is closed.
    if (db->inTransaction()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(std::move(db));
}
