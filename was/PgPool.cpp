#include "was/PgPool.h"

#include <utility>

PgPool::PgPool(std::string location, size_t size)
    : m_location(std::move(location)), m_size(size == 0 ? 1 : size) {
    m_idle.push_back(std::make_unique<PgConnection>(m_location));
}

PgPool::~PgPool() = default;

PgPool::Lease::Lease(PgPool& pool, std::unique_ptr<PgConnection> conn)
    : m_pool(pool), m_conn(std::move(conn)) {}

PgPool::Lease::~Lease() {
    m_pool.giveBack(std::move(m_conn));
}

PgPool::Lease PgPool::lend() {
    std::unique_ptr<PgConnection> conn;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_freed.wait(lock, [&] { return !m_idle.empty() || m_lent < m_size; });
        if (!m_idle.empty()) {
            conn = std::move(m_idle.back());
            m_idle.pop_back();
        }
        ++m_lent;
    }
    if (conn) return Lease(*this, std::move(conn));
    // Connecting takes a round trip or more: done outside the lock, with
    // the slot counted as lent meanwhile.
    try {
        conn = std::make_unique<PgConnection>(m_location);
    } catch (...) {
        giveBack(nullptr);
        throw;
    }
    return Lease(*this, std::move(conn));
}

void PgPool::giveBack(std::unique_ptr<PgConnection> conn) {
    // Closed outside the lock: closing a connection may wait on the network.
    std::vector<std::unique_ptr<PgConnection>> closing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_lent;
        if (conn && conn->usable()) {
            m_idle.push_back(std::move(conn));
        } else if (conn && !conn->connected()) {
            closing.swap(m_idle);
        }
    }
    m_freed.notify_one();
}
