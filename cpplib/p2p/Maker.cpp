#include "p2p/Maker.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

Maker::Maker(void* buf, int maxlen) : m_buf(static_cast<char*>(buf)), m_maxlen(buf ? std::max(maxlen, 0) : 0) {}

int Maker::mem(const void* p, int len) {
    if (!fits(len) || (len > 0 && !p)) return -1;
    if (len > 0) std::memcpy(m_buf + m_pos, p, static_cast<size_t>(len));
    m_pos += len;
    return 0;
}

int Maker::mem16(const void* p, int len) {
    if (len < 0 || len > UINT16_MAX || !fits(2 + len) || (len > 0 && !p)) return -1;
    const uint16_t prefix = static_cast<uint16_t>(len);
    std::memcpy(m_buf + m_pos, &prefix, sizeof prefix);
    if (len > 0) std::memcpy(m_buf + m_pos + 2, p, static_cast<size_t>(len));
    m_pos += 2 + len;
    return 0;
}
