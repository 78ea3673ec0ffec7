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
#include <vector>

// 0xFE, the result code (u16, little-endian), the text length (u8) and the
// text, cut to the 254 bytes the daemon accepts.
std::string replyHeader(uint16_t code, std::string_view text);

// A 32-bit value as the daemon's atoi() reads it back: the same bits in
// signed decimal, so values above INT32_MAX survive the round trip.
std::string xmlNumber(uint32_t value);

// A reply body kept in blocks that stay where they were written, so a
// start-up room list of hundreds of megabytes grows without being copied,
// and without holding twice its size while it does. Values.
class ReplyBlocks {
public:
    ReplyBlocks();
    explicit ReplyBlocks(std::string whole) : m_tail(std::move(whole)) {}

    // Where the next bytes go. The same string for the object's life, so an
    // XmlRows may keep writing to it across cuts.
    std::string& tail() { return m_tail; }
    // Sets the tail aside as a finished block once it is nearly full.
    void cutWhenFull();

    size_t size() const { return m_finished + m_tail.size(); }
    // The bytes from offset to the end of their block; empty from size() on.
    std::string_view from(size_t offset) const;

private:
    std::vector<std::string> m_blocks;
    size_t m_finished = 0;  // bytes in m_blocks
    std::string m_tail;
};

// A document of empty elements written at the end of a reply string, so a
// list of a million rows is built in place, without a copy of its own.
class XmlRows {
public:
    using Attribute = std::pair<const char*, std::string>;

    // Writes the declaration and the root's start tag; out must outlive this.
    XmlRows(std::string& out, const char* root);

    // One empty element; the attributes are written in the order given.
    void add(const char* element, std::initializer_list<Attribute> attributes);
    // The same, attribute by attribute, for the long lists: no value is
    // built on its own first.
    XmlRows& openElement(const char* element);
    // A value that any XML parser accepts: markup characters and tab, line
    // feed and carriage return become character references; other control
    // bytes and bytes that are not valid UTF-8 become "?". The value never
    // grows once parsed, so it still fits the daemon's fixed-size fields.
    XmlRows& attribute(const char* name, std::string_view value);
    XmlRows& attribute(const char* name, uint32_t number);  // as xmlNumber writes it
    void closeElement();
    // Writes the root's end tag; once, after the last element.
    void finish();

private:
    std::string& m_out;
    const char* m_root;
};
