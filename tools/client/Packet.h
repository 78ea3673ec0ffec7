#pragma once
// One packet as a client sends or receives it: the header fields, the two
// addresses of the variable header and the body bytes. A plain value; any
// thread. encodePacket() turns a request into wire bytes with the shared
// header codec of cpplib/p2p.

#include <cstdint>
#include <string>
#include <string_view>

namespace client {

struct Packet {
    uint16_t magic = 0;
    uint16_t code = 0;
    uint16_t hlen = 0;
    uint8_t ver = 0;
    uint8_t etype = 0;
    uint32_t trid = 0;
    uint16_t sessionid = 0;
    std::string to;    // the variable header's addresses
    std::string from;
    std::string body;      // the body to read: plain text once decrypted
    std::string wireBody;  // the body exactly as it arrived
    bool decrypted = false;

    bool isReply() const { return (code & 0x8000) != 0; }
    uint16_t blen() const { return static_cast<uint16_t>(wireBody.size()); }
};

struct packet_options_t {
    uint8_t etype = 0;
    uint32_t trid = 0;
    std::string to;    // at most 255 bytes each
    std::string from;
};

// The whole packet (header, addresses, body) as it goes on the wire.
// Throws std::length_error for a body over 65,535 bytes or an address over
// 255 bytes: such packets cannot be expressed in the header.
std::string encodePacket(uint16_t code, std::string_view body, const packet_options_t& opts = {});

// The 16 fixed header bytes alone, with any field values at all: the way to
// build headers the daemon must refuse (bad magic, hlen out of range).
std::string encodeFixedHeader(uint16_t magic, uint16_t hlen, uint16_t code, uint8_t ver, uint8_t etype,
                              uint32_t trid, uint16_t sessionid, uint16_t blen);

// The bytes a received packet came as: its fixed header, its two addresses
// and its wire body. Equal to what arrived whenever the sender's variable
// header held exactly the two addresses, as the daemon's always does.
std::string wireBytes(const Packet& p);

// "6C B7 12 00" style text of bytes, for failure messages.
std::string toHex(std::string_view bytes);
// One line with the header fields and the body bytes of p.
std::string describe(const Packet& p);

}  // namespace client
