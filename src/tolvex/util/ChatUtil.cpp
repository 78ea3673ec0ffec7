#include "tolvex/util/ChatUtil.h"

#include <charconv>
#include <climits>
#include <vector>

namespace ChatUtil {

namespace {

// Decimal value of a piece; non-numbers count as 0, like atoi.
long long pieceValue(std::string_view piece) {
    size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t')) ++i;
    long long value = 0;
    std::from_chars(piece.data() + i, piece.data() + piece.size(), value);
    return value;
}

}  // namespace

int convertToMinute(std::string_view text) {
    std::vector<std::string_view> pieces;
    size_t from = 0;
    for (;;) {
        size_t colon = text.find(':', from);
        pieces.push_back(text.substr(from, colon == std::string_view::npos ? colon : colon - from));
        if (colon == std::string_view::npos) break;
        from = colon + 1;
    }
    if (pieces.size() != 3) return kDefaultTimeoutMinutes;
    long long minutes = pieceValue(pieces[0]) * 1440 + pieceValue(pieces[1]) * 60 + pieceValue(pieces[2]);
    // Absurd settings saturate instead of wrapping into a negative time-out.
    if (minutes > INT_MAX) return INT_MAX;
    if (minutes < INT_MIN) return INT_MIN;
    return static_cast<int>(minutes);
}

}  // namespace ChatUtil
