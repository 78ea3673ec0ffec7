#include "cpputil/ErrorLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

// A flood from one place is cut to kLinesPerSecond lines a second, the next
// line it writes says how many were left out, and other places are unaffected.
TEST(ErrorLogTest, AFloodFromOneSiteIsCutAndCountedOthersStillWrite) {
    std::vector<std::string> lines;
    errorlog::setSink([&](const std::string& line) { lines.push_back(line); });
    // The limit counts per wall-clock second: start right after one begins.
    const time_t start = time(nullptr);
    while (time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < 25; ++i) errorlog::report("a", "flood %d", i);
    errorlog::report("b", "other");
    ASSERT_EQ(static_cast<size_t>(errorlog::kLinesPerSecond) + 1, lines.size());
    EXPECT_EQ("other", lines.back());
    const time_t second = time(nullptr);
    while (time(nullptr) == second) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    errorlog::report("a", "later");
    errorlog::setSink({});
    EXPECT_EQ("later (15 more like it left out)", lines.back());
}
