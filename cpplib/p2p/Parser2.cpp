#include "p2p/Parser2.h"

#include <algorithm>
#include <cstring>

Parser2::Parser2(const void* buf, int blen) : m_buf(static_cast<const char*>(buf)), m_blen(buf ? std::max(blen, 0) : 0) {}

bool Parser2::remain(int len) const {
    // Compared as a difference so a huge len cannot overflow the sum.
    return len >= 0 && len <= m_blen - m_pos;
}

int Parser2::fail(parsererr_t why) {
    m_lastError = why;
    return -1;
}

int Parser2::peekLength(int width) const {
    if (!remain(width)) return -1;
    if (width == 1) return static_cast<unsigned char>(m_buf[m_pos]);
    uint16_t len;
    std::memcpy(&len, m_buf + m_pos, sizeof len);
    return len;
}

int Parser2::mem(void* val, int vallen, int* plen) {
    if (vallen < 0 || !remain(vallen)) return fail(PARSERERR_READDONE);
    if (vallen > 0) std::memcpy(val, m_buf + m_pos, static_cast<size_t>(vallen));
    m_pos += vallen;
    if (plen) *plen = vallen;
    m_lastError = PARSERERR_OK;
    return 0;
}

int Parser2::mem8(void* val, int vallen, int* plen) {
    const int len = peekLength(1);
    if (len < 0) return fail(PARSERERR_READDONE);
    if (len > vallen) return fail(PARSERERR_OVERFLOW);
    if (!remain(1 + len)) return fail(PARSERERR_READDONE);
    if (len > 0) std::memcpy(val, m_buf + m_pos + 1, static_cast<size_t>(len));
    m_pos += 1 + len;
    if (plen) *plen = len;
    m_lastError = PARSERERR_OK;
    return 0;
}

int Parser2::sstr(char* val, int vallen, int* plen) {
    if (vallen < 1) return fail(PARSERERR_OVERFLOW);
    int len = 0;
    if (mem8(val, vallen - 1, &len) != 0) return -1;
    val[len] = '\0';
    if (plen) *plen = len;
    return 0;
}

int Parser2::ptsstr(psstr_t* out) {
    const int len = peekLength(1);
    if (len < 0 || !remain(1 + len)) return fail(PARSERERR_READDONE);
    out->m_len = static_cast<uint8_t>(len);
    out->m_pstr = m_buf + m_pos + 1;
    m_pos += 1 + len;
    m_lastError = PARSERERR_OK;
    return 0;
}

int Parser2::ptstr(pstr_t* out) {
    const int len = peekLength(2);
    if (len < 0 || !remain(2 + len)) return fail(PARSERERR_READDONE);
    out->m_len = static_cast<uint16_t>(len);
    out->m_pstr = m_buf + m_pos + 2;
    m_pos += 2 + len;
    m_lastError = PARSERERR_OK;
    return 0;
}

void Parser2::throwAway(int len) {
    m_pos += std::clamp(len, 0, m_blen - m_pos);
}
