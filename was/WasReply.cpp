#include "was/WasReply.h"

#include <charconv>

#include "was/WasText.h"

namespace {

constexpr size_t kMaxErrorText = 254;

// Large enough that a list needs few blocks; the slack leaves room for the
// rest of the element being written when the block is cut, so the block
// never grows by reallocation.
constexpr size_t kBlockBytes = 4 << 20;
constexpr size_t kBlockSlack = 64 << 10;

void appendAscii(std::string& out, char c) {
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\'': out += "&apos;"; break;
    case '\t': out += "&#9;"; break;
    case '\n': out += "&#10;"; break;
    case '\r': out += "&#13;"; break;
    default:
        if (static_cast<unsigned char>(c) < 0x20) out.push_back('?');
        else out.push_back(c);
    }
}

// Bytes that go out as they are; runs of them are copied at once, which is
// most of a room list.
bool plain(unsigned char c) {
    return c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
}

void appendEscaped(std::string& out, std::string_view value) {
    for (size_t i = 0; i < value.size();) {
        size_t run = i;
        while (run < value.size() && plain(static_cast<unsigned char>(value[run]))) ++run;
        out.append(value.substr(i, run - i));
        if (run == value.size()) return;
        i = run;
        if (static_cast<unsigned char>(value[i]) < 0x80) {
            appendAscii(out, value[i]);
            ++i;
            continue;
        }
        size_t n = utf8SequenceLength(value, i);
        if (n == 0) {
            out.push_back('?');
            ++i;
        } else {
            out.append(value.substr(i, n));
            i += n;
        }
    }
}

}  // namespace

std::string replyHeader(uint16_t code, std::string_view text) {
    std::string_view cut = text.substr(0, kMaxErrorText);
    std::string out;
    out.reserve(4 + cut.size());
    out.push_back(static_cast<char>(0xFE));
    out.push_back(static_cast<char>(code & 0xFF));
    out.push_back(static_cast<char>(code >> 8));
    out.push_back(static_cast<char>(cut.size()));
    out.append(cut);
    return out;
}

std::string xmlNumber(uint32_t value) {
    return std::to_string(static_cast<int32_t>(value));
}

// Reserved, not written: memory the list does not fill is never touched.
ReplyBlocks::ReplyBlocks() {
    m_tail.reserve(kBlockBytes);
}

void ReplyBlocks::cutWhenFull() {
    if (m_tail.size() < kBlockBytes - kBlockSlack) return;
    m_finished += m_tail.size();
    m_blocks.push_back(std::move(m_tail));
    m_tail = std::string();
    m_tail.reserve(kBlockBytes);
}

std::string_view ReplyBlocks::from(size_t offset) const {
    for (const std::string& block : m_blocks) {
        if (offset < block.size()) return std::string_view(block).substr(offset);
        offset -= block.size();
    }
    return offset < m_tail.size() ? std::string_view(m_tail).substr(offset) : std::string_view();
}

XmlRows::XmlRows(std::string& out, const char* root) : m_out(out), m_root(root) {
    m_out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?><").append(m_root).push_back('>');
}

void XmlRows::add(const char* element, std::initializer_list<Attribute> attributes) {
    openElement(element);
    for (const Attribute& a : attributes) attribute(a.first, a.second);
    closeElement();
}

XmlRows& XmlRows::openElement(const char* element) {
    m_out.push_back('<');
    m_out.append(element);
    return *this;
}

XmlRows& XmlRows::attribute(const char* name, std::string_view value) {
    m_out.push_back(' ');
    m_out.append(name).append("=\"");
    appendEscaped(m_out, value);
    m_out.push_back('"');
    return *this;
}

XmlRows& XmlRows::attribute(const char* name, uint32_t number) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<int32_t>(number));
    m_out.push_back(' ');
    m_out.append(name).append("=\"").append(digits, end).push_back('"');
    return *this;
}

void XmlRows::closeElement() {
    m_out.append("/>");
}

void XmlRows::finish() {
    m_out.append("</").append(m_root).push_back('>');
}
