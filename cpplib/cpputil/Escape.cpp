#include "cpputil/Escape.h"

#include <array>
#include <cstring>
#include <string_view>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

constexpr std::array<bool, 256> makeUrlSafeTable() {
    std::array<bool, 256> safe{};
    for (int c = 'A'; c <= 'Z'; ++c) safe[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) safe[c] = true;
    for (int c = '0'; c <= '9'; ++c) safe[c] = true;
    for (char c : std::string_view("!$'()*,-._/;")) safe[static_cast<unsigned char>(c)] = true;
    return safe;
}

constexpr std::array<bool, 256> kUrlSafe = makeUrlSafeTable();

bool urlSafe(unsigned char c) { return kUrlSafe[c]; }

// Writes c (escaped or not) at dst; returns the bytes written.
int putUrlByte(char* dst, unsigned char c) {
    if (urlSafe(c)) {
        dst[0] = static_cast<char>(c);
        return 1;
    }
    dst[0] = '%';
    dst[1] = kHex[c >> 4];
    dst[2] = kHex[c & 0x0F];
    return 3;
}

// The shared loop of both encodeurl2 forms; `more` says whether input i exists.
template <typename More>
int encodeBounded(char* dst, int size, const char* src, More more) {
    if (dst == nullptr || size <= 0) return 0;
    int out = 0;
    const int limit = size - 3;
    if (src != nullptr && limit >= 1) {
        for (int i = 0; more(i); ++i) {
            const unsigned char c = static_cast<unsigned char>(src[i]);
            const int need = urlSafe(c) ? 1 : 3;
            if (out + need >= limit) break;
            out += putUrlByte(dst + out, c);
        }
    }
    dst[out] = '\0';
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

struct XmlEntity {
    char ch;
    const char* text;
    size_t len;
};

constexpr XmlEntity kEntities[] = {
    {'<', "&lt;", 4}, {'>', "&gt;", 4}, {'&', "&amp;", 5}, {'"', "&quot;", 6}, {'\'', "&apos;", 6},
};

// Copies [from, from + len) to out when min <= len <= max; see the result codes.
int copyBounded(const char* from, long len, char* out, int min, int max) {
    if (len < min) return 3;
    if (len > max) return 4;
    std::memcpy(out, from, static_cast<size_t>(len));
    out[len] = '\0';
    return 0;
}

}  // namespace

char* encodeurl(char* dst, const char* src) {
    char* out = dst;
    if (src != nullptr) {
        for (; *src != '\0'; ++src) out += putUrlByte(out, static_cast<unsigned char>(*src));
    }
    *out = '\0';
    return dst;
}

int encodeurl2(char* dst, int size, const char* src) {
    return encodeBounded(dst, size, src, [src](int i) { return src[i] != '\0'; });
}

int encodeurl2(char* dst, int size, const char* src, int len) {
    return encodeBounded(dst, size, src, [len](int i) { return i < len; });
}

char* decodeurl(char* dst, int size, const char* src) {
    if (dst == nullptr || size <= 0) return dst;
    int out = 0;
    while (src != nullptr && *src != '\0' && out < size - 1) {
        if (*src == '%') {
            if (src[1] == '\0' || src[2] == '\0') break;
            const int hi = hexValue(src[1]);
            const int lo = hexValue(src[2]);
            if (hi >= 0 && lo >= 0) {
                dst[out++] = static_cast<char>(hi * 16 + lo);
                src += 3;
                continue;
            }
            dst[out++] = *src++;
        } else if (*src == '+') {
            dst[out++] = ' ';
            ++src;
        } else {
            dst[out++] = *src++;
        }
    }
    dst[out] = '\0';
    return dst;
}

char* encodexml(char* dst, const char* src) {
    char* out = dst;
    for (; src != nullptr && *src != '\0'; ++src) {
        const XmlEntity* hit = nullptr;
        for (const XmlEntity& e : kEntities) {
            if (e.ch == *src) hit = &e;
        }
        if (hit != nullptr) {
            std::memcpy(out, hit->text, hit->len);
            out += hit->len;
        } else {
            *out++ = *src;
        }
    }
    *out = '\0';
    return dst;
}

char* decodexml(char* dst, const char* src) {
    char* out = dst;
    while (src != nullptr && *src != '\0') {
        if (*src != '&') {
            *out++ = *src++;
            continue;
        }
        const XmlEntity* hit = nullptr;
        for (const XmlEntity& e : kEntities) {
            if (std::strncmp(src, e.text, e.len) == 0) hit = &e;
        }
        if (hit != nullptr) {
            *out++ = hit->ch;
            src += hit->len;
        } else {
            ++src;  // a stray '&' is dropped
        }
    }
    *out = '\0';
    return dst;
}

int _xml_get_attr_val(const char* xml, const char* key, const char* /*third*/, char* out, int min,
                      int max) {
    out[0] = '\0';
    if (xml == nullptr || key == nullptr) return 1;
    const char* at = std::strstr(xml, key);
    if (at == nullptr) return 1;
    at += std::strlen(key);
    const char* quote = std::strpbrk(at, "'\"");
    if (quote == nullptr) return 1;
    const char* gt = std::strchr(at, '>');
    if (gt == nullptr) return 2;
    if (quote > gt) return 1;
    const char* close = std::strchr(quote + 1, *quote);
    if (close == nullptr) return 2;
    return copyBounded(quote + 1, close - quote - 1, out, min, max);
}

int _xml_get_tag_val(const char* xml, const char* open, const char* close, char* out, int min,
                     int max) {
    out[0] = '\0';
    if (xml == nullptr || open == nullptr || close == nullptr) return 1;
    const char* at = std::strstr(xml, open);
    if (at == nullptr) return 1;
    const char* gt = std::strchr(at + std::strlen(open), '>');
    if (gt == nullptr) return 2;
    const char* end = std::strstr(gt + 1, close);
    if (end == nullptr) return 2;
    return copyBounded(gt + 1, end - gt - 1, out, min, max);
}

const char* _xml_patch_array(const char* xml, const char* scope, const char* begin,
                             const char* end, int* len, int* err) {
    auto fail = [err](int code) -> const char* {
        if (err != nullptr) *err = code;
        return nullptr;
    };
    if (xml == nullptr || begin == nullptr || end == nullptr) return fail(1);
    const char* from = xml;
    if (scope != nullptr) {
        from = std::strstr(xml, scope);
        if (from == nullptr) return fail(1);
        from += std::strlen(scope);
    }
    const char* first = std::strstr(from, begin);
    if (first == nullptr) return fail(1);
    const char* last = std::strstr(first + std::strlen(begin), end);
    if (last == nullptr) return fail(2);
    if (len != nullptr) *len = static_cast<int>(last + std::strlen(end) - first);
    if (err != nullptr) *err = 0;
    return first;
}
