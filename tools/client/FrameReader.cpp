#include "client/FrameReader.h"

#include <utility>

#include "client/Protocol.h"
#include "p2p/P2PHeader.h"

namespace client {

namespace {

// Reads "length byte, bytes" at pos inside vh; empty when it does not fit.
std::string takeAddress(const std::string& vh, size_t* pos) {
    if (*pos >= vh.size()) return {};
    const size_t len = static_cast<unsigned char>(vh[*pos]);
    if (*pos + 1 + len > vh.size()) {
        *pos = vh.size();
        return {};
    }
    std::string addr = vh.substr(*pos + 1, len);
    *pos += 1 + len;
    return addr;
}

}  // namespace

void FrameReader::feed(const char* data, size_t n) {
    compact();
    m_buf.append(data, n);
}

FrameReader::Event FrameReader::next(Packet* out) {
    if (!m_error.empty()) return Event::kError;
    if (buffered() == 0) return Event::kNone;

    const auto first = static_cast<unsigned char>(m_buf[m_pos]);
    if (first == kPing || first == kPong) {
        ++m_pos;
        return first == kPing ? Event::kPing : Event::kPong;
    }
    if (first != P2P_MAGIC_CH) return fail("first byte is not the packet magic");
    if (buffered() < static_cast<size_t>(P2P_FIXED_HLEN)) return Event::kNone;

    p2p_header_t h{};
    h.decodeFixed(m_buf.data() + m_pos);
    if (h.hlen < P2P_FIXED_HLEN || h.hlen > P2P_MAX_HLEN)
        return fail("header length " + std::to_string(h.hlen) + " out of range");
    const size_t total = static_cast<size_t>(h.hlen) + h.blen;
    if (buffered() < total) return Event::kNone;

    const std::string vh = m_buf.substr(m_pos + P2P_FIXED_HLEN, h.hlen - P2P_FIXED_HLEN);
    Packet p;
    p.magic = h.magic;
    p.code = h.code;
    p.hlen = h.hlen;
    p.ver = h.ver;
    p.etype = h.etype;
    p.trid = h.trid;
    p.sessionid = h.sessionid;
    size_t pos = 0;
    p.to = takeAddress(vh, &pos);
    p.from = takeAddress(vh, &pos);
    p.wireBody = m_buf.substr(m_pos + h.hlen, h.blen);
    p.body = p.wireBody;
    m_pos += total;
    *out = std::move(p);
    return Event::kPacket;
}

FrameReader::Event FrameReader::fail(std::string why) {
    m_error = std::move(why);
    return Event::kError;
}

void FrameReader::compact() {
    // Dropping the consumed prefix only once it dominates keeps feed() cheap.
    if (m_pos > 0 && m_pos * 2 >= m_buf.size()) {
        m_buf.erase(0, m_pos);
        m_pos = 0;
    }
}

}  // namespace client
