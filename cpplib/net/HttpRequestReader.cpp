#include "net/HttpRequestReader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

namespace {

// RFC 9110 token characters.
bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar);
}

// Visible ASCII only: no spaces, no controls, nothing above 0x7E.
bool isVisible(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool equalsNoCase(std::string_view a, const char* b) {
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

HttpRequestReader::state_t HttpRequestReader::fail(int status, std::string reason) {
    m_status = status;
    m_reason = std::move(reason);
    m_state = state_t::FAILED;
    return m_state;
}

HttpRequestReader::state_t HttpRequestReader::feed(const char* data, size_t len) {
    if (m_state != state_t::MORE) return m_state;
    // Nothing past the bound is kept: one byte more tells a head that is
    // too large. The search starts three bytes back, so a terminator split
    // across two reads is found.
    const size_t searchFrom = m_head.size() < 3 ? 0 : m_head.size() - 3;
    m_head.append(data, std::min(len, m_max + 1 - std::min(m_head.size(), m_max + 1)));
    const size_t crlf = m_head.find("\r\n\r\n", searchFrom);
    // Bare line feeds are tolerated, as most servers do.
    const size_t lf = m_head.find("\n\n", searchFrom);
    const size_t end = std::min(crlf, lf);
    const size_t endLen = end == crlf ? 4 : 2;
    if (end == std::string::npos) {
        if (m_head.size() > m_max) return fail(431, "request head larger than " + std::to_string(m_max) + " bytes");
        return m_state;
    }
    if (end + endLen > m_max) return fail(431, "request head larger than " + std::to_string(m_max) + " bytes");
    return parseHead(std::string_view(m_head).substr(0, end));
}

HttpRequestReader::state_t HttpRequestReader::parseHead(std::string_view head) {
    bool first = true;
    while (!head.empty() || first) {
        const size_t nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        head = nl == std::string_view::npos ? std::string_view() : head.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            if (!parseRequestLine(line)) return m_state;
            first = false;
        } else if (!parseHeader(line)) {
            return m_state;
        }
    }
    m_state = state_t::DONE;
    return m_state;
}

bool HttpRequestReader::parseRequestLine(std::string_view line) {
    // method SP target SP version, single spaces, nothing else.
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        fail(400, "malformed request line");
        return false;
    }
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!isToken(method) || target.empty() || !isVisible(target) || target.front() != '/') {
        fail(400, "malformed request line");
        return false;
    }
    // HTTP/<digit>.<digit>; another protocol name or shape is malformed,
    // another number is a version we do not speak.
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7]))) {
        fail(400, "malformed request line");
        return false;
    }
    if (version != "HTTP/1.0" && version != "HTTP/1.1") {
        fail(505, std::string(version) + " is not served; use HTTP/1.1");
        return false;
    }
    m_method = method;
    m_target = target;
    m_version = version;
    return true;
}

bool HttpRequestReader::parseHeader(std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
        fail(400, "malformed header line");
        return false;
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), [](char c) { return c == '\0' || c == '\r'; })) {
        fail(400, "malformed header value");
        return false;
    }
    // No request here has a body, and the connection closes after the
    // reply: a body would be read as the next request.
    if (equalsNoCase(name, "Transfer-Encoding")) {
        fail(413, "request bodies are not accepted");
        return false;
    }
    if (equalsNoCase(name, "Content-Length")) {
        if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            fail(400, "malformed Content-Length");
            return false;
        }
        if (value.find_first_not_of('0') != std::string_view::npos) {
            fail(413, "request bodies are not accepted");
            return false;
        }
    }
    return true;
}

std::string_view HttpRequestReader::path() const {
    const std::string_view t = m_target;
    return t.substr(0, t.find('?'));
}
