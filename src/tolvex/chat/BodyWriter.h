#pragma once
// Writes one packet body into an owned buffer of fixed capacity. Unlike a
// bare Maker it stops at the first field that does not fit, so a body that
// is too long is a correct prefix, never shifted fields. A value for one
// body; one thread.

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "p2p/Maker.h"

class BodyWriter {
public:
    explicit BodyWriter(int capacity) : m_buf(static_cast<size_t>(capacity) + 1), m_maker(m_buf.data(), capacity) {}
    BodyWriter(const BodyWriter&) = delete;
    BodyWriter& operator=(const BodyWriter&) = delete;

    BodyWriter& u8(uint8_t v) { return raw(&v, sizeof v); }
    BodyWriter& u16(uint16_t v) { return raw(&v, sizeof v); }
    BodyWriter& u32(uint32_t v) { return raw(&v, sizeof v); }
    // A u16 length and the bytes.
    BodyWriter& str16(std::string_view s) {
        if (m_ok && (s.size() > 65535 || m_maker.mem16(s.data(), static_cast<int>(s.size())) != 0)) m_ok = false;
        return *this;
    }
    // Raw bytes without a length.
    BodyWriter& raw(const void* p, size_t len) {
        if (m_ok && (len > 65535 || m_maker.mem(p, static_cast<int>(len)) != 0)) m_ok = false;
        return *this;
    }

    // False once a field did not fit (it and every later one were left out).
    bool ok() const { return m_ok; }
    int len() const { return m_maker.len(); }
    // The bytes written; the writer is spent afterwards.
    std::vector<char> take() {
        m_buf.resize(static_cast<size_t>(m_maker.len()));
        return std::move(m_buf);
    }

private:
    std::vector<char> m_buf;
    Maker m_maker;
    bool m_ok = true;
};
