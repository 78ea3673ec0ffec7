#include "tolvex/util/WasServerTable.h"

#include <charconv>
#include <string_view>

namespace {

// The port of "host:port": 1 to 65535 written in digits alone, else 0, which
// the start-up check refuses (a job would otherwise connect to port 0).
int portOf(std::string_view text) {
    int port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) return 0;
    return port;
}

}  // namespace

WasServerTable g_was;

wasinfo_t WasServerTable::getWAS(int* index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int size = m_size;
    if (*index < 0 || *index >= size) {
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
    static constexpr std::string_view kHttps = "https://";
    for (int i = 0; i < count; ++i) {
        std::string_view text = list[i];
        const bool tls = text.substr(0, kHttps.size()) == kHttps;
        if (tls) text.remove_prefix(kHttps.size());
        const size_t colon = text.find(':');
        if (colon == std::string::npos) return 0;
        m_was[i].addr = std::string(text.substr(0, colon));
        m_was[i].port = portOf(text.substr(colon + 1));
        m_was[i].tls = tls;
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
