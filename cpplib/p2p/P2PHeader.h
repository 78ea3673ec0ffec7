#pragma once
// The fixed packet header plus its variable address header, as one record.
// A plain value: copy it freely. Any thread may build or read one; only
// newTrid() touches shared state, and it is atomic.

#include <cstddef>
#include <cstdint>

using trid_t = uint32_t;
using sessionid_t = uint16_t;

constexpr uint16_t P2P_MAGIC = 0xB76C;
constexpr unsigned char P2P_MAGIC_CH = 0x6C;  // first byte on the wire
constexpr uint16_t P2P_RESPONSE_BIT = 0x8000;
constexpr uint8_t P2P_HEADER_VERSION = 2;
constexpr int P2P_FIXED_HLEN = 16;
constexpr int P2P_MAX_VH_LEN = 516;
constexpr int P2P_MAX_HLEN = P2P_FIXED_HLEN + P2P_MAX_VH_LEN;
// Two empty addresses: every packet built here has at least this header.
constexpr int P2P_MIN_BUILT_HLEN = P2P_FIXED_HLEN + 2;

struct p2p_header_t {
    uint16_t magic;
    uint16_t hlen;       // fixed 16 bytes plus the vh bytes in use
    uint16_t code;       // bit 15 set: response
    uint8_t ver;
    uint8_t etype;       // body encryption of the reply (0 = clear)
    trid_t trid;
    sessionid_t sessionid;
    uint16_t blen;
    char vh[P2P_MAX_VH_LEN];  // tolen, to, fromlen, from; only hlen - 16 bytes are meaningful

    // A new packet's header: ver 2, blen 0, vh = the two addresses.
    void make2(uint16_t cmd, const char* to, uint8_t tolen, const char* from, uint8_t fromlen, trid_t tr,
               sessionid_t sid, uint8_t enc);
    // The reply header for this request header: addresses swapped, code
    // with bit 15 set, trid and etype kept. A vh whose addresses do not fit
    // in hlen gets an empty pair, as does a header shorter than 18 bytes.
    void getResHeader(p2p_header_t* out) const;
    // One trace line with the fixed fields.
    void dump() const;

    // The 16 fixed bytes in wire order (little-endian).
    void encodeFixed(char* out) const;
    // Reads the 16 fixed bytes; vh is left as it is.
    void decodeFixed(const char* in);

    bool isRequest() const { return (code & P2P_RESPONSE_BIT) == 0; }
    // Bytes after the fixed header: vh and body.
    int vhbodylen() const { return static_cast<int>(blen) + static_cast<int>(hlen) - P2P_FIXED_HLEN; }
};

static_assert(sizeof(p2p_header_t) == 532, "the header record is the 16 fixed bytes and a 516-byte vh");
static_assert(offsetof(p2p_header_t, code) == 4 && offsetof(p2p_header_t, trid) == 8 &&
                  offsetof(p2p_header_t, blen) == 14 && offsetof(p2p_header_t, vh) == 16,
              "fixed fields sit at their wire offsets");

// Process-wide transaction ids: 1, 2, 3, ... wrapping after 2^32 - 1 to 0.
// Safe from any thread.
trid_t newTrid();
