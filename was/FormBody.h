#pragma once
// One application/x-www-form-urlencoded body, decoded byte-exactly (zero
// bytes included). A value built per request on the thread answering it.
// Accessors throw RequestError(WAS_BAD_REQUEST) for a field that is missing,
// malformed or longer than the caller allows.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class FormBody {
public:
    // Throws RequestError for a bad escape, a pair without "=" or a field
    // given twice. Empty pairs ("a=1&&b=2", a trailing "&") are skipped.
    static FormBody parse(std::string_view body);

    bool has(const std::string& name) const { return m_fields.count(name) != 0; }

    // Required bytes, at most maxLen of them; may be empty.
    std::string bytes(const std::string& name, size_t maxLen) const;
    // Like bytes(), but absent gives the empty string.
    std::string optionalBytes(const std::string& name, size_t maxLen) const;
    // A required identifier: not empty, no zero byte, at most maxLen bytes.
    std::string id(const std::string& name, size_t maxLen) const;
    // Text without zero bytes; absent gives the empty string.
    std::string optionalText(const std::string& name, size_t maxLen) const;

    // 32-bit numbers as the daemon prints them with "%d": a value above
    // INT32_MAX arrives negative and is taken back as its unsigned bits.
    uint32_t u32(const std::string& name) const;
    // Like u32(), refusing 0: a room id of 0 means the daemon's input ended
    // before the field.
    uint32_t nonZeroU32(const std::string& name) const;
    uint32_t optionalU32(const std::string& name, uint32_t fallback) const;
    // A signed decimal in the range of int32_t.
    int32_t i32(const std::string& name) const;

private:
    const std::string* find(const std::string& name) const;

    std::map<std::string, std::string> m_fields;
};

// Decodes one percent-encoded component: %XX (either case) gives that byte,
// "+" a space, anything else itself. Returns nothing on a broken escape.
std::optional<std::string> decodeFormComponent(std::string_view text);
