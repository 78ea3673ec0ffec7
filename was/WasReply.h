#pragma once
// The bytes of one WAS reply: the binary result header the daemon checks
// first, then for the pages that return data an XML document whose
// attributes the daemon reads by position, never by name. Values, used on
// the thread answering the request.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// 0xFE, the result code (u16, little-endian), the text length (u8) and the
// text, cut to the 254 bytes the daemon accepts.
std::string replyHeader(uint16_t code, std::string_view text);

// A 32-bit value as the daemon's atoi() reads it back: the same bits in
// signed decimal, so values above INT32_MAX survive the round trip.
std::string xmlNumber(uint32_t value);

// An attribute value that any XML parser accepts: markup characters and tab,
// line feed and carriage return become character references; other control
// bytes and bytes that are not valid UTF-8 become "?". The value never grows
// once parsed, so it still fits the daemon's fixed-size fields.
std::string xmlEscape(std::string_view value);

class XmlRows {
public:
    using Attribute = std::pair<const char*, std::string>;

    explicit XmlRows(std::string root) : m_root(std::move(root)) {}

    // One empty element; the attributes are written in the order given.
    void add(const char* element, std::initializer_list<Attribute> attributes);
    // The whole document, declaration included.
    std::string document() const;

private:
    std::string m_root;
    std::string m_rows;
};
