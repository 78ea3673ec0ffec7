#include "p2p/P2PHeader.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "cpputil/Trace.h"

// The wire is little-endian and fields are copied as the host holds them.
static_assert(std::endian::native == std::endian::little, "the packet codec assumes a little-endian host");

namespace {

// Appends one "length byte, bytes" address to vh at pos; returns the new pos.
int putAddress(char* vh, int pos, const char* addr, uint8_t len) {
    vh[pos++] = static_cast<char>(len);
    if (len > 0 && addr) std::memcpy(vh + pos, addr, len);
    return pos + len;
}

template <typename T>
void putField(char* out, int offset, T value) {
    std::memcpy(out + offset, &value, sizeof value);
}

template <typename T>
T getField(const char* in, int offset) {
    T value;
    std::memcpy(&value, in + offset, sizeof value);
    return value;
}

}  // namespace

void p2p_header_t::make2(uint16_t cmd, const char* to, uint8_t tolen, const char* from, uint8_t fromlen,
                         trid_t tr, sessionid_t sid, uint8_t enc) {
    std::memset(this, 0, sizeof *this);
    magic = P2P_MAGIC;
    code = cmd;
    ver = P2P_HEADER_VERSION;
    etype = enc;
    trid = tr;
    sessionid = sid;
    blen = 0;
    // Two u8-sized addresses plus their length bytes always fit the 516-byte vh.
    int pos = putAddress(vh, 0, to, tolen);
    pos = putAddress(vh, pos, from, fromlen);
    hlen = static_cast<uint16_t>(P2P_FIXED_HLEN + pos);
}

void p2p_header_t::getResHeader(p2p_header_t* out) const {
    // Built aside, so a header may be turned into its own reply.
    p2p_header_t res;
    std::memset(&res, 0, sizeof res);
    res.magic = magic;
    res.hlen = hlen;
    res.code = static_cast<uint16_t>(code | P2P_RESPONSE_BIT);
    res.ver = ver;
    res.etype = etype;
    res.trid = trid;
    res.sessionid = ver == P2P_HEADER_VERSION ? 0 : sessionid;
    res.blen = 0;

    const int vhlen = static_cast<int>(hlen) - P2P_FIXED_HLEN;
    // The peer chose these lengths: both addresses must lie inside its vh.
    const int tolen = vhlen >= 2 && vhlen <= P2P_MAX_VH_LEN ? static_cast<unsigned char>(vh[0]) : -1;
    const int fromAt = 1 + tolen;
    const int fromlen = tolen >= 0 && fromAt < vhlen ? static_cast<unsigned char>(vh[fromAt]) : -1;
    if (fromlen < 0 || fromAt + 1 + fromlen > vhlen) {
        res.hlen = P2P_MIN_BUILT_HLEN;
    } else {
        // Bytes past the two addresses stay where they were.
        std::memcpy(res.vh, vh, static_cast<size_t>(vhlen));
        const int pos = putAddress(res.vh, 0, vh + fromAt + 1, static_cast<uint8_t>(fromlen));
        putAddress(res.vh, pos, vh + 1, static_cast<uint8_t>(tolen));
    }
    *out = res;
}

void p2p_header_t::dump() const {
    TRACE(TRACE_DEBUG, "magic=%x, hlen=%u, code=%x, ver=%u, etype=%u, trid=%u, sid=%u, blen=%u", magic, hlen, code,
          ver, etype, trid, sessionid, blen);
}

void p2p_header_t::encodeFixed(char* out) const {
    putField(out, 0, magic);
    putField(out, 2, hlen);
    putField(out, 4, code);
    putField(out, 6, ver);
    putField(out, 7, etype);
    putField(out, 8, trid);
    putField(out, 12, sessionid);
    putField(out, 14, blen);
}

void p2p_header_t::decodeFixed(const char* in) {
    magic = getField<uint16_t>(in, 0);
    hlen = getField<uint16_t>(in, 2);
    code = getField<uint16_t>(in, 4);
    ver = getField<uint8_t>(in, 6);
    etype = getField<uint8_t>(in, 7);
    trid = getField<trid_t>(in, 8);
    sessionid = getField<sessionid_t>(in, 12);
    blen = getField<uint16_t>(in, 14);
}

trid_t newTrid() {
    static std::atomic<trid_t> s_trid{0};
    return s_trid.fetch_add(1, std::memory_order_relaxed) + 1;
}
