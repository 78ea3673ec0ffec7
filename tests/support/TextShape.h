#pragma once
// Matching log lines and file names by shape: in a shape, 'N' stands for any
// decimal digit and every other character for itself. (std::regex trips
// false -Wmaybe-uninitialized warnings in optimised builds of GCC 12.)

#include <cctype>
#include <string>
#include <string_view>

inline bool matchesShape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'N' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0 : text[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

// True when some line of text matches shape.
inline bool hasLineOfShape(std::string_view text, std::string_view shape) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (matchesShape(text.substr(start, end - start), shape)) return true;
        start = end + 1;
    }
    return false;
}

// How many times needle occurs in text (overlaps counted).
inline int occurrences(std::string_view text, std::string_view needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}
