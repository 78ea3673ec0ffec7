#include "was/WasText.h"

#include <time.h>

#include "was/FieldLimits.h"

std::string tenantOf(std::string_view userId) {
    std::string_view tenant = userId;
    size_t at = userId.find('@');
    if (at != std::string_view::npos) {
        size_t dot = userId.find('.', at + 1);
        if (dot != std::string_view::npos) tenant = userId.substr(dot + 1);
    }
    return std::string(tenant.substr(0, kMaxTenant));
}

std::vector<std::string> splitList(std::string_view text, char separator) {
    std::vector<std::string> entries;
    if (text.empty()) return entries;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            entries.emplace_back(text.substr(start));
            return entries;
        }
        entries.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

namespace {

// Empty when gmtime cannot place the value (its year overflows an int).
std::string utcText(int64_t seconds, const char* format) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (!gmtime_r(&t, &tm)) return std::string();
    char text[64];
    size_t length = strftime(text, sizeof text, format, &tm);
    return std::string(text, length);
}

}  // namespace

std::string endTimeText(uint32_t seconds) {
    return utcText(seconds, "%Y%m%d%H%M%S");
}

std::string readableTime(int64_t seconds) {
    std::string text = utcText(seconds, "%Y-%m-%dT%H:%M:%SZ");
    return text.empty() ? std::to_string(seconds) : text;
}

uint32_t nowSeconds() {
    return static_cast<uint32_t>(time(nullptr));
}

size_t utf8SequenceLength(std::string_view text, size_t i) {
    auto at = [&](size_t k) -> unsigned {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0x100;
    };
    auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return at(k) >= lo && at(k) <= hi;
    };
    unsigned lead = at(0);
    if (lead >= 0xC2 && lead <= 0xDF) return cont(1) ? 2 : 0;
    if (lead == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
    if (lead == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;  // no surrogates
    if (lead == 0xEF && at(1) == 0xBF && (at(2) == 0xBE || at(2) == 0xBF))
        return 0;  // U+FFFE and U+FFFF are not XML characters
    if (lead >= 0xE1 && lead <= 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (lead == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    if (lead >= 0xF1 && lead <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (lead == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
}
