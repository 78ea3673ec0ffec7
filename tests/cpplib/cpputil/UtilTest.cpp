#include "cpputil/Util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cpputil/Trace.h"

namespace {

const std::string kEighteen = std::string("ABCDEFGHIJKLMNO\x01", 16) + "\x01Z";

const std::string kEighteenDump =
    "00000     4142 4344 4546 4748 494a 4b4c 4d4e 4f01    ABCDEFGHIJKLMNO \n"
    "00010     015a " + std::string(14 * 3, ' ') + "   .Z\n";

// The trace switch is process-wide; each test leaves it off.
class HexDumpTest : public ::testing::Test {
protected:
    void TearDown() override { g_trace.off(); }

    // What HexDump writes to a stream.
    static std::string dumpedToStream(const std::string& bytes) {
        FILE* f = std::tmpfile();
        HexDump(reinterpret_cast<const unsigned char*>(bytes.data()),
                static_cast<int>(bytes.size()), f);
        std::string out(static_cast<size_t>(std::ftell(f)), '\0');
        std::rewind(f);
        const size_t n = std::fread(out.data(), 1, out.size(), f);
        std::fclose(f);
        out.resize(n);
        return out;
    }
};

TEST_F(HexDumpTest, FullRowThenPaddedLastRow) {
    EXPECT_EQ(kEighteenDump, hexDumpText(kEighteen.data(), static_cast<int>(kEighteen.size())));
}

TEST_F(HexDumpTest, ExactRowIsWrittenAsTheLastRow) {
    const std::string sixteen = kEighteen.substr(0, 16);
    EXPECT_EQ("00000     4142 4344 4546 4748 494a 4b4c 4d4e 4f01    ABCDEFGHIJKLMNO.\n",
              hexDumpText(sixteen.data(), 16));
}

TEST_F(HexDumpTest, NothingForEmptyInput) {
    EXPECT_EQ("", hexDumpText("x", 0));
    EXPECT_EQ("", hexDumpText("x", -1));
}

TEST_F(HexDumpTest, StreamGetsTheDumpOnlyWhileTraceIsOn) {
    g_trace.off();
    EXPECT_EQ("", dumpedToStream(kEighteen));
    g_trace.on();
    EXPECT_EQ(kEighteenDump, dumpedToStream(kEighteen));
}

}  // namespace
