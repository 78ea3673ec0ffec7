#include "cpputil/Util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cpputil/Trace.h"
#include "support/TempDir.h"

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

TEST_F(HexDumpTest, BoundedDumpIsCutAndTerminated) {
    std::vector<char> out(21, '#');
    const int n = makeHexDump(out.data(), 20,
                              reinterpret_cast<const unsigned char*>(kEighteen.data()), 18);
    EXPECT_EQ(19, n);
    EXPECT_EQ(kEighteenDump.substr(0, 19), std::string(out.data()));
    EXPECT_EQ('#', out[20]);
}

class DirTest : public ::testing::Test {
protected:
    TempDir m_dir;
};

TEST_F(DirTest, MkDirCreatesOneLevelAndAcceptsExisting) {
    const std::string logs = m_dir.file("logs");
    EXPECT_EQ(-1, CheckDir(logs.c_str()));
    EXPECT_EQ(0, MkDir(logs.c_str()));
    EXPECT_EQ(0, CheckDir(logs.c_str()));
    EXPECT_EQ(0, MkDir(logs.c_str()));
    EXPECT_EQ(-1, MkDir(m_dir.file("a/b").c_str()));
    EXPECT_EQ(-1, MkDir(""));
}

TEST_F(DirTest, PlainFileIsNoDirectory) {
    const std::string file = m_dir.write("f", "x");
    EXPECT_EQ(-1, CheckDir(file.c_str()));
    EXPECT_EQ(-1, MkDir(file.c_str()));
}

TEST_F(DirTest, PidFileHoldsTheProcessId) {
    char old[4096];
    ASSERT_NE(nullptr, getcwd(old, sizeof old));
    ASSERT_EQ(0, chdir(m_dir.path().c_str()));
    const int rc = makepidfile();
    ASSERT_EQ(0, chdir(old));
    EXPECT_EQ(0, rc);
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(pid + "\n", m_dir.read("pid." + pid));
}

}  // namespace
