#include "cpputil/Trace.h"

#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_trace.setPath(m_dir.path());
        m_trace.setPrefix("tolvexd");
    }

    // Opens the next trace file and returns its bare name.
    std::string openNext() {
        m_trace.opentracefile();
        return std::filesystem::path(m_trace.fileName()).filename().string();
    }
    void dump(const std::string& bytes) { m_trace.write(bytes.data(), bytes.size()); }
    std::string fileText(const std::string& name) const { return m_dir.read(name); }

    TempDir m_dir;
    Trace m_trace;
};

TEST_F(TraceTest, ElevenOpensCycleThroughTenNamesAndTruncateOnReuse) {
    std::vector<std::string> names;
    names.push_back(openNext());
    dump("first round");
    for (int i = 1; i < 11; ++i) names.push_back(openNext());

    const std::vector<std::string> expected = {
        "tolvexd-0.log", "tolvexd-1.log", "tolvexd-2.log", "tolvexd-3.log", "tolvexd-4.log", "tolvexd-5.log",
        "tolvexd-6.log", "tolvexd-7.log", "tolvexd-8.log", "tolvexd-9.log", "tolvexd-0.log"};
    EXPECT_EQ(expected, names);
    EXPECT_EQ("", fileText("tolvexd-0.log"));
}

TEST_F(TraceTest, EmptyPrefixBecomesTheProcessId) {
    m_trace.setPrefix("");
    m_trace.opentracefile();
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(pid, m_trace.prefix());
    EXPECT_EQ(m_dir.file(pid + "-0.log"), m_trace.fileName());
}

TEST_F(TraceTest, CheckSizeTurnsOverOnlyPastTheLimit) {
    m_trace.setMaxSize(10);
    openNext();
    dump("0123456789");  // exactly at the limit
    m_trace.checkSize();
    EXPECT_EQ(m_dir.file("tolvexd-0.log"), m_trace.fileName());

    dump("x");
    m_trace.checkSize();
    EXPECT_EQ(m_dir.file("tolvexd-1.log"), m_trace.fileName());
    EXPECT_EQ("0123456789x", fileText("tolvexd-0.log"));

    dump("fresh");  // the count starts again in the new file
    m_trace.checkSize();
    EXPECT_EQ(m_dir.file("tolvexd-1.log"), m_trace.fileName());
}

TEST_F(TraceTest, StandardStreamPathsNeedNoFile) {
    m_trace.setPath("");
    m_trace.opentracefile();
    EXPECT_EQ(stderr, m_trace.stream());

    m_trace.setPath("/dev/stdout");
    m_trace.opentracefile();
    EXPECT_EQ(stdout, m_trace.stream());

    m_trace.setPath("/dev/stderr");
    m_trace.opentracefile();
    EXPECT_EQ(stderr, m_trace.stream());
    EXPECT_EQ("", m_trace.fileName());
}

TEST_F(TraceTest, DevNullDiscardsDumps) {
    m_trace.setPath("/dev/null");
    m_trace.opentracefile();
    EXPECT_EQ(nullptr, m_trace.stream());
    dump("nowhere");
    m_trace.checkSize();
    EXPECT_EQ(nullptr, m_trace.stream());
}

TEST_F(TraceTest, UnopenableDirectoryFallsBackToStandardError) {
    m_trace.setPath(m_dir.file("missing"));
    m_trace.opentracefile();
    EXPECT_EQ(stderr, m_trace.stream());
    EXPECT_EQ("", m_trace.fileName());
}

TEST_F(TraceTest, ConcurrentDumpsStayWhole) {
    openNext();
    constexpr int kThreads = 4;
    constexpr int kDumps = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            const std::string chunk = std::string(300, static_cast<char>('a' + t)) + "\n";
            for (int i = 0; i < kDumps; ++i) dump(chunk);
        });
    }
    for (auto& w : writers) w.join();

    const std::string text = fileText("tolvexd-0.log");
    ASSERT_EQ(static_cast<size_t>(kThreads * kDumps * 301), text.size());
    for (size_t pos = 0; pos < text.size(); pos += 301) {
        const char c = text[pos];
        ASSERT_EQ(std::string(300, c) + "\n", text.substr(pos, 301)) << "at " << pos;
    }
}

}  // namespace
