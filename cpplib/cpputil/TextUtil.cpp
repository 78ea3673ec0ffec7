#include "cpputil/TextUtil.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cpputil/Trace.h"

int cntByte(unsigned char lead) {
    if (lead <= 0x7F) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    if (lead >= 0xF8 && lead <= 0xFB) return 5;
    if (lead >= 0xFC && lead <= 0xFD) return 6;
    return 0;
}

void subStr(const char* src, int start, int count, char* dst, int* bytePos, int* charPos,
            int* tail) {
    char* out = dst;
    const int total = static_cast<int>(std::strlen(src));
    int offset = 0;
    for (int index = 0; offset < total; ++index) {
        int n = cntByte(static_cast<unsigned char>(src[offset]));
        if (n == 0) n = 1;
        if (n > total - offset) n = total - offset;
        if (index >= start && index < start + count) {
            std::memcpy(out, src + offset, static_cast<size_t>(n));
            out += n;
            if (charPos != nullptr) *charPos = index;
            if (bytePos != nullptr) *bytePos = offset;
        }
        offset += n;
        if (tail != nullptr) *tail = offset + n;
    }
    *out = '\0';
}

char* itoa(int v) {
    thread_local char buf[16];
    std::snprintf(buf, sizeof buf, "%d", v);
    return buf;
}

void trimright(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = '\0';
}

void trimright2(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && std::strchr("\r\n \t", s[n - 1]) != nullptr) s[--n] = '\0';
}

char* time2str(char* dst, time_t t) {
    if (ctime_r(&t, dst) == nullptr) {
        dst[0] = '\0';
        return dst;
    }
    trimright(dst);
    return dst;
}

bool valueCheck(const char* s, int min, int max, ...) {
    if (s != nullptr) {
        const size_t n = std::strlen(s);
        if (n >= static_cast<size_t>(min < 0 ? 0 : min) && max >= 0 &&
            n <= static_cast<size_t>(max))
            return true;
    }
    TRACE(TRACE_WARNING, "valueCheck: value out of [%d, %d]", min, max);
    return false;
}

int getValue(const char* src, char* dst, unsigned* len, unsigned max, char stop) {
    for (unsigned i = 0;; ++i) {
        const char c = src[i];
        if (c == stop || c == '\0' || c == '\r' || c == '\n') {
            dst[i] = '\0';
            if (len != nullptr) *len = i;
            return 0;
        }
        if (i == max) {
            dst[i] = '\0';
            return -1;
        }
        dst[i] = c;
    }
}

int readline_str(const char* src, char* line, int* len, int max, int* flags) {
    if (src == nullptr) {
        line[0] = '\0';
        if (len != nullptr) *len = 0;
        if (flags != nullptr) *flags = 8;
        return 0;
    }
    int f = 1;
    int copied = 0;
    int i = 0;
    for (; src[i] != '\0' && src[i] != '\n'; ++i) {
        if (src[i] == '\r' && src[i + 1] == '\n') continue;
        if (copied < max) {
            line[copied++] = src[i];
        } else {
            f |= 2;
        }
    }
    line[copied] = '\0';
    if (len != nullptr) *len = copied;
    int next = 0;
    if (src[i] == '\n') {
        next = i + 1;
    } else {
        f |= 4;
    }
    if (flags != nullptr) *flags = f;
    return next;
}

namespace {

uint16_t loadU16(const char* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int copyPrefixed(char* dst, int max, const char* body, int len, int* err) {
    if (len > max) {
        if (err != nullptr) *err = 2;
        return 0;
    }
    std::memcpy(dst, body, static_cast<size_t>(len));
    dst[len] = '\0';
    if (err != nullptr) *err = 0;
    return len;
}

}  // namespace

int bin_getstring(char* dst, int max, const char* src, int* err) {
    return copyPrefixed(dst, max, src + 2, loadU16(src), err);
}

int bin_getsstring(char* dst, int max, const char* src, int* err) {
    return copyPrefixed(dst, max, src + 1, static_cast<unsigned char>(src[0]), err);
}

namespace {

void markEnd(vlbp_iterator_t* it) {
    it->name = nullptr;
    it->value = nullptr;
    it->nameLen = 0;
    it->valueLen = 0;
    it->trailer = 0;
}

// Loads the record at it->pos when it lies wholly inside the buffer.
bool loadRecord(vlbp_iterator_t* it) {
    const unsigned len = it->len;
    unsigned at = it->pos;
    if (it->buf == nullptr || at + 1 > len) return false;
    const unsigned nameLen = static_cast<unsigned char>(it->buf[at]);
    const unsigned nameAt = at + 1;
    if (nameAt + nameLen + 2 > len) return false;
    const unsigned valueLen = loadU16(it->buf + nameAt + nameLen);
    const unsigned valueAt = nameAt + nameLen + 2;
    if (valueAt + valueLen + 2 > len) return false;
    it->nameLen = static_cast<unsigned char>(nameLen);
    it->name = it->buf + nameAt;
    it->valueLen = static_cast<unsigned short>(valueLen);
    it->value = it->buf + valueAt;
    it->trailer = loadU16(it->buf + valueAt + valueLen);
    it->pos = static_cast<unsigned short>(valueAt + valueLen + 2);
    return true;
}

}  // namespace

bool vlbp_begin(vlbp_iterator_t* it, const char* buf, unsigned short len) {
    *it = vlbp_iterator_t{};
    it->buf = buf;
    it->len = len;
    if (!loadRecord(it)) markEnd(it);
    return it->name != nullptr;
}

bool vlbp_next(vlbp_iterator_t* it) {
    // pos == len: the current record was the last one.
    if (it->name == nullptr || it->pos >= it->len || !loadRecord(it)) markEnd(it);
    return it->name != nullptr;
}
