#pragma once
// Small text rules shared by the pages and the store: the daemon's tenant
// rule, its list separators and the time text of a left member. Pure
// functions; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The tenant of a user id as the daemon derives it: the text after the first
// "." that follows the first "@"; the whole id when there is no such "." or
// no "@" at all. Cut to the longest legal id, like the daemon's room key.
std::string tenantOf(std::string_view userId);

// Splits at every separator. An empty text gives no entries; "a,,b" gives an
// empty middle entry, which callers refuse or skip as their page requires.
std::vector<std::string> splitList(std::string_view text, char separator);

// The end time of a left member as the room rows carry it: UTC
// "YYYYMMDDhhmmss". The daemon only tests it for emptiness.
std::string endTimeText(uint32_t seconds);

// A stored time for people to read: ISO 8601 UTC, "2026-12-07T12:31:35Z".
// A value no calendar date fits stays a plain number.
std::string readableTime(int64_t seconds);

// Length of the valid UTF-8 sequence of two to four bytes that starts at
// text[i] and that XML accepts as a character; 0 when there is none (ASCII
// bytes give 0 too: callers treat them on their own).
size_t utf8SequenceLength(std::string_view text, size_t i);

// The current UTC time in seconds.
uint32_t nowSeconds();
