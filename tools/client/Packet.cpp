#include "client/Packet.h"

#include <cstdio>
#include <stdexcept>

#include "p2p/P2PHeader.h"

namespace client {

std::string encodePacket(uint16_t code, std::string_view body, const packet_options_t& opts) {
    if (body.size() > 65535) throw std::length_error("packet body over 65535 bytes");
    if (opts.to.size() > 255 || opts.from.size() > 255) throw std::length_error("address over 255 bytes");

    p2p_header_t h;
    h.make2(code, opts.to.data(), static_cast<uint8_t>(opts.to.size()), opts.from.data(),
            static_cast<uint8_t>(opts.from.size()), opts.trid, 0, opts.etype);
    h.blen = static_cast<uint16_t>(body.size());

    std::string wire(P2P_FIXED_HLEN, '\0');
    h.encodeFixed(wire.data());
    wire.append(h.vh, h.hlen - P2P_FIXED_HLEN);
    wire.append(body);
    return wire;
}

std::string encodeFixedHeader(uint16_t magic, uint16_t hlen, uint16_t code, uint8_t ver, uint8_t etype,
                              uint32_t trid, uint16_t sessionid, uint16_t blen) {
    p2p_header_t h{};
    h.magic = magic;
    h.hlen = hlen;
    h.code = code;
    h.ver = ver;
    h.etype = etype;
    h.trid = trid;
    h.sessionid = sessionid;
    h.blen = blen;
    std::string fixed(P2P_FIXED_HLEN, '\0');
    h.encodeFixed(fixed.data());
    return fixed;
}

std::string wireBytes(const Packet& p) {
    std::string wire = encodeFixedHeader(p.magic, p.hlen, p.code, p.ver, p.etype, p.trid, p.sessionid, p.blen());
    wire.push_back(static_cast<char>(p.to.size()));
    wire += p.to;
    wire.push_back(static_cast<char>(p.from.size()));
    wire += p.from;
    return wire + p.wireBody;
}

std::string toHex(std::string_view bytes) {
    std::string text;
    char byte[4];
    for (unsigned char c : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", c);
        if (!text.empty()) text += ' ';
        text += byte;
    }
    return text;
}

std::string describe(const Packet& p) {
    char head[128];
    std::snprintf(head, sizeof head, "code=0x%04X hlen=%u ver=%u etype=%u trid=%u sid=%u blen=%u body=", p.code,
                  p.hlen, p.ver, p.etype, p.trid, p.sessionid, p.blen());
    return head + toHex(p.body);
}

}  // namespace client
