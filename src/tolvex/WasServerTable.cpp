#include "tolvex/WasServerTable.h"

#include <cstdlib>

WasServerTable g_was;

wasinfo_t WasServerTable::getWAS(int* index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int size = m_size;
    if (*index < 0 || *index >= size) {
        // Jobs start on several threads: the read and the advance of the
        // shared cursor happen under one lock.
        if (m_current >= size) m_current = 0;  // the table shrank since the last pick
        *index = m_current;
        m_current = (m_current + 1) % size;
    } else {
        *index = (*index + 1) % size;
    }
    return m_was[*index];
}

int WasServerTable::convert2WasInfo(const std::string* list, int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count > kCapacity) count = kCapacity;
    for (int i = 0; i < count; ++i) {
        const std::string& text = list[i];
        const size_t colon = text.find(':');
        if (colon == std::string::npos) return 0;
        m_was[i].addr = text.substr(0, colon);
        m_was[i].port = std::atoi(text.c_str() + colon + 1);
    }
    return 1;
}

int WasServerTable::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_size;
}

void WasServerTable::setSize(int size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (size < 1) size = 1;
    if (size > kCapacity) size = kCapacity;
    m_size = size;
}

wasinfo_t WasServerTable::entry(int i) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (i < 0 || i >= kCapacity) return {};
    return m_was[i];
}
