#include "was/FormBody.h"

#include <charconv>
#include <limits>

#include "was/RequestError.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

[[noreturn]] void refuse(const std::string& text) {
    throw RequestError(WAS_BAD_REQUEST, text);
}

// Field names come from the client too; keep them short in error texts,
// which must fit the reply header.
std::string shortName(std::string_view name) {
    return std::string(name.substr(0, 40));
}

bool parseSigned(const std::string& text, int64_t& out) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first == last) return false;
    auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last;
}

}  // namespace

std::optional<std::string> decodeFormComponent(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c != '%') {
            out.push_back(c);
        } else {
            if (i + 2 >= text.size()) return std::nullopt;
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        }
    }
    return out;
}

FormBody FormBody::parse(std::string_view body) {
    FormBody form;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string_view::npos) end = body.size();
        std::string_view pair = body.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) continue;
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos) refuse("field without value: " + shortName(pair));
        auto name = decodeFormComponent(pair.substr(0, eq));
        if (!name || name->empty()) refuse("bad field name");
        auto value = decodeFormComponent(pair.substr(eq + 1));
        if (!value) refuse("bad escape in " + shortName(*name));
        if (!form.m_fields.emplace(*name, std::move(*value)).second)
            refuse("field given twice: " + shortName(*name));
    }
    return form;
}

const std::string* FormBody::find(const std::string& name) const {
    auto it = m_fields.find(name);
    return it == m_fields.end() ? nullptr : &it->second;
}

std::string FormBody::bytes(const std::string& name, size_t maxLen) const {
    const std::string* value = find(name);
    if (!value) refuse("missing field " + name);
    if (value->size() > maxLen) refuse("field " + name + " too long");
    return *value;
}

std::string FormBody::optionalBytes(const std::string& name, size_t maxLen) const {
    return has(name) ? bytes(name, maxLen) : std::string();
}

std::string FormBody::id(const std::string& name, size_t maxLen) const {
    std::string value = bytes(name, maxLen);
    if (value.empty()) refuse("empty field " + name);
    if (value.find('\0') != std::string::npos) refuse("zero byte in " + name);
    return value;
}

std::string FormBody::optionalText(const std::string& name, size_t maxLen) const {
    std::string value = optionalBytes(name, maxLen);
    if (value.find('\0') != std::string::npos) refuse("zero byte in " + name);
    return value;
}

uint32_t FormBody::u32(const std::string& name) const {
    int64_t value = 0;
    if (!parseSigned(bytes(name, 16), value) || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<uint32_t>::max())
        refuse("bad number in " + name);
    return static_cast<uint32_t>(value);
}

uint32_t FormBody::nonZeroU32(const std::string& name) const {
    uint32_t value = u32(name);
    if (value == 0) refuse(name + " is 0");
    return value;
}

uint32_t FormBody::optionalU32(const std::string& name, uint32_t fallback) const {
    return has(name) ? u32(name) : fallback;
}

int32_t FormBody::i32(const std::string& name) const {
    int64_t value = 0;
    if (!parseSigned(bytes(name, 16), value) || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max())
        refuse("bad number in " + name);
    return static_cast<int32_t>(value);
}
