#include "net/URLEncode.h"

#include <cstring>

#include "cpputil/Escape.h"

int URLEncode::init(int buflen) {
    if (buflen < 0) return 0;
    m_buf.clear();
    m_buflen = buflen;
    m_buf.reserve(static_cast<size_t>(buflen));
    return 1;
}

int URLEncode::appendName(const char* name) {
    if (!name || size() >= m_buflen) return 0;
    const int need = static_cast<int>(std::strlen(name)) + 1 + (m_buf.empty() ? 0 : 1);
    if (size() + need > m_buflen) return 0;
    if (!m_buf.empty()) m_buf += '&';
    m_buf += name;
    m_buf += '=';
    return 1;
}

int URLEncode::appendValue(const char* name, const char* value, bool bencode) {
    return appendValue(name, value, value ? static_cast<int>(std::strlen(value)) : 0, bencode);
}

int URLEncode::appendValue(const char* name, int value) {
    const std::string text = std::to_string(value);
    return appendValue(name, text.c_str(), static_cast<int>(text.size()), false);
}

int URLEncode::appendValue(const char* name, const char* value, int valueLen, bool bencode) {
    if (!appendName(name)) return 0;
    if (value && valueLen > 0) appendBytes(value, valueLen, bencode);
    return 1;
}

void URLEncode::appendBytes(const char* value, int len, bool bencode) {
    const int room = m_buflen - size();
    if (room <= 0) return;
    if (!bencode) {
        m_buf.append(value, static_cast<size_t>(len < room ? len : room));
        return;
    }
    // encodeurl2 keeps an escape whole and always leaves room for its
    // terminator, so it gets one byte more than the room left.
    std::string out(static_cast<size_t>(room) + 1, '\0');
    const int n = encodeurl2(out.data(), room + 1, value, len);
    m_buf.append(out.data(), static_cast<size_t>(n));
}
