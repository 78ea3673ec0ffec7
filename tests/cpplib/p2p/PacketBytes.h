#pragma once
// Wire images of packets for the p2p tests: headers written byte by byte
// (so malformed ones can be made too) and readers for what a peer receives.

#include <cstdint>
#include <cstring>
#include <string>

#include "cpputil/IOBuffer.h"
#include "p2p/P2PPacket.h"

namespace pbytes {

inline void putU16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

inline void putU32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint16_t u16At(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8));
}

inline uint32_t u32At(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

// The 16 fixed header bytes with whatever lengths the test wants.
inline std::string fixedHeader(uint16_t hlen, uint16_t code, uint16_t blen, uint8_t etype = 0, uint32_t trid = 7) {
    std::string s;
    putU16(s, 0xB76C);
    putU16(s, hlen);
    putU16(s, code);
    s += static_cast<char>(2);
    s += static_cast<char>(etype);
    putU32(s, trid);
    putU16(s, 0);
    putU16(s, blen);
    return s;
}

// The vh of two addresses.
inline std::string addresses(const std::string& to, const std::string& from) {
    return static_cast<char>(to.size()) + to + static_cast<char>(from.size()) + from;
}

// A whole, well-formed packet.
inline std::string packet(uint16_t code, const std::string& body, uint8_t etype = 0, const std::string& vh = addresses("", ""),
                          uint32_t trid = 7) {
    return fixedHeader(static_cast<uint16_t>(16 + vh.size()), code, static_cast<uint16_t>(body.size()), etype, trid) +
           vh + body;
}

inline std::string hex(const std::string& s) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

// What writeTo puts on the wire.
inline std::string wire(const P2PPacket& p) {
    IOBuffer buf(0);
    if (p.writeTo(&buf) != 0) return "<writeTo failed>";
    return std::string(buf.data(), static_cast<size_t>(buf.getDataSize()));
}

// One packet received by a peer, split into its parts.
struct Received {
    uint16_t hlen = 0;
    uint16_t code = 0;
    uint8_t etype = 0;
    uint32_t trid = 0;
    uint16_t sessionid = 0;
    uint16_t blen = 0;
    std::string vh;
    std::string body;
};

// Cuts the first packet off stream; false when it is not all there.
inline bool takePacket(std::string& stream, Received* out) {
    if (stream.size() < 16) return false;
    Received r;
    r.hlen = u16At(stream, 2);
    r.code = u16At(stream, 4);
    r.etype = static_cast<uint8_t>(stream[7]);
    r.trid = u32At(stream, 8);
    r.sessionid = u16At(stream, 12);
    r.blen = u16At(stream, 14);
    if (r.hlen < 16 || stream.size() < static_cast<size_t>(r.hlen) + r.blen) return false;
    r.vh = stream.substr(16, r.hlen - 16);
    r.body = stream.substr(r.hlen, r.blen);
    stream.erase(0, static_cast<size_t>(r.hlen) + r.blen);
    *out = r;
    return true;
}

}  // namespace pbytes
