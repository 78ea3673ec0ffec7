#include "p2p/P2PPacket.h"

#include <cassert>
#include <cstring>

#include "cpputil/IOBuffer.h"
#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"
#include "p2p/Encrypt.h"

P2PPacket::P2PPacket() {
    clear();
}

P2PPacket::P2PPacket(const P2PPacket& other) : Packet(other) {
    *this = other;
}

P2PPacket& P2PPacket::operator=(const P2PPacket& other) {
    if (this == &other) return *this;
    m_h = other.m_h;
    m_cipher = other.m_cipher;
    // A body held in the other's cipher buffer is ours now too.
    const bool ownBody = other.m_body && !other.m_cipher.empty() && other.m_body == other.m_cipher.data();
    m_body = ownBody ? m_cipher.data() : other.m_body;
    return *this;
}

void P2PPacket::clear() {
    std::memset(&m_h, 0, sizeof m_h);
    m_body = nullptr;
    m_cipher.clear();
}

void P2PPacket::setBody(const void* body, int len) {
    assert(len >= 0 && len <= kMaxBodyLen);
    m_body = static_cast<const char*>(body);
    m_h.blen = static_cast<uint16_t>(len);
}

int P2PPacket::writeTo(IOBuffer* buf) const {
    m_h.dump();
    const int hlen = m_h.hlen;
    const int blen = m_h.blen;
    if (hlen < P2P_FIXED_HLEN || hlen > P2P_MAX_HLEN || (blen > 0 && !m_body)) return -1;
    char head[P2P_MAX_HLEN];
    m_h.encodeFixed(head);
    std::memcpy(head + P2P_FIXED_HLEN, m_h.vh, static_cast<size_t>(hlen - P2P_FIXED_HLEN));

    buf->increase(hlen + blen);
    // increase() may refuse; never leave half a packet in the stream.
    if (buf->getBufSize() - buf->getWritePos() < hlen + blen) return -1;
    buf->write(head, hlen);
    if (blen > 0) buf->write(m_body, blen);
    return 0;
}

int P2PPacket::doEncrypt() {
    if (m_h.etype == P2P_ENC_NONE) return 0;
    const int inlen = m_h.blen;
    std::vector<char> out(static_cast<size_t>(Encrypt::AesEncryptSizeGuess(inlen)));
    int outlen = 0;
    const char* result = P2P_Encrypt(m_h.etype, m_body, inlen, out.data(), static_cast<int>(out.size()), &outlen);
    if (!result || outlen < 0 || outlen > kMaxBodyLen) {
        REPORT_ERROR(TRACE_ERROR, "packet: etype %u not supported, body of %d bytes dropped", m_h.etype, inlen);
        m_body = nullptr;
        m_h.blen = 0;
        m_cipher.clear();
        return -1;
    }
    out.resize(static_cast<size_t>(outlen));
    m_cipher = std::move(out);
    m_body = m_cipher.data();
    m_h.blen = static_cast<uint16_t>(outlen);
    return 0;
}
