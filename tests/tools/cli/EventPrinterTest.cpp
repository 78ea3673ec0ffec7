// Other users' text reaches the terminal with its control characters made
// harmless: no colour changes, fake lines or cursor moves.

#include <gtest/gtest.h>

#include <string>

#include "cli/EventPrinter.h"

namespace {

TEST(DisplayTextTest, ControlCharactersAreEscapedAndUtf8Kept) {
    EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC", cli::displayText("caf\xC3\xA9 \xE2\x82\xAC"));
    // A colour change, a fake second line, a cursor move by C1 CSI.
    EXPECT_EQ("\\x1B[31mred", cli::displayText("\x1B[31mred"));
    EXPECT_EQ("one\\n[12:00:00] bob: two\\r\\t", cli::displayText("one\n[12:00:00] bob: two\r\t"));
    EXPECT_EQ("\\xC2\\x9B2J\\x7F\\x00", cli::displayText(std::string("\xC2\x9B" "2J\x7F\0", 6)));
    EXPECT_EQ("Bo\\x07b (x\\x1B)", cli::who("x\x1B", "Bo\x07" "b"));
}

}  // namespace
