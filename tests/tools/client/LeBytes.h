#pragma once
// Expected packet bodies written field by field, independently of the
// library's own writer, so a test compares two separate encodings.

#include <cstdint>
#include <string>

class LeBytes {
public:
    LeBytes& u8(uint8_t v) { return put(v, 1); }
    LeBytes& u16(uint16_t v) { return put(v, 2); }
    LeBytes& u32(uint32_t v) { return put(v, 4); }
    LeBytes& str16(const std::string& s) { return u16(static_cast<uint16_t>(s.size())).text(s); }
    LeBytes& text(const std::string& s) {
        m_bytes += s;
        return *this;
    }
    operator std::string() const { return m_bytes; }
    const std::string& str() const { return m_bytes; }

private:
    LeBytes& put(uint32_t v, int width) {
        for (int i = 0; i < width; ++i) m_bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        return *this;
    }
    std::string m_bytes;
};
