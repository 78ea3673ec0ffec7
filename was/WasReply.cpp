#include "was/WasReply.h"

#include "was/WasText.h"

namespace {

constexpr size_t kMaxErrorText = 254;

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

std::string xmlEscape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
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
    return out;
}

void XmlRows::add(const char* element, std::initializer_list<Attribute> attributes) {
    m_rows += '<';
    m_rows += element;
    for (const Attribute& attribute : attributes) {
        m_rows += ' ';
        m_rows += attribute.first;
        m_rows += "=\"";
        m_rows += xmlEscape(attribute.second);
        m_rows += '"';
    }
    m_rows += "/>";
}

std::string XmlRows::document() const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><" + m_root + ">" + m_rows + "</" + m_root +
           ">";
}
