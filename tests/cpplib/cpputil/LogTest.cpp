#include "cpputil/Log.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/time.h>

#include "support/TextShape.h"

#include "cpputil/Trace.h"
#include "support/TempDir.h"

namespace {

// A wall-clock instant given in local time, as the log's clock seam takes it.
timeval localAt(int year, int mon, int day, int hour, int min, int sec, int ms = 0) {
    tm lt{};
    lt.tm_year = year - 1900;
    lt.tm_mon = mon - 1;
    lt.tm_mday = day;
    lt.tm_hour = hour;
    lt.tm_min = min;
    lt.tm_sec = sec;
    lt.tm_isdst = -1;
    timeval tv{};
    tv.tv_sec = mktime(&lt);
    tv.tv_usec = ms * 1000;
    return tv;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { m_log.init(m_dir.path().c_str(), "app", REOPEN_DD); }
    void TearDown() override { g_trace.off(); }

    void useMode(reopen_t mode) { m_log.init(m_dir.path().c_str(), "app", mode); }
    void writeAt(const timeval& t, const std::string& text) { m_log.logAt(t, text.c_str()); }
    std::string fileText(const std::string& name) const { return m_dir.read(name); }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string allText() const {
        std::string all;
        for (const std::string& name : files()) all += fileText(name);
        return all;
    }

    TempDir m_dir;
    Log m_log;
};

TEST_F(LogTest, DailyLineCarriesDatedPrefixInDatedFile) {
    writeAt(localAt(2024, 3, 10, 12, 34, 56, 789), "hello");
    EXPECT_EQ(std::vector<std::string>{"app.20240310.log"}, files());
    EXPECT_EQ("2024-03-10 12:34:56.789:hello\n", fileText("app.20240310.log"));
    EXPECT_EQ(m_dir.file("app.20240310.log"), m_log.fileName());
}

TEST_F(LogTest, MidnightSplitsDailyLogIntoTwoFiles) {
    writeAt(localAt(2024, 3, 10, 23, 59, 59, 999), "last of the day");
    writeAt(localAt(2024, 3, 11, 0, 0, 0, 0), "first of the next");

    EXPECT_EQ((std::vector<std::string>{"app.20240310.log", "app.20240311.log"}), files());
    EXPECT_EQ("2024-03-10 23:59:59.999:last of the day\n", fileText("app.20240310.log"));
    EXPECT_EQ("2024-03-11 00:00:00.000:first of the next\n", fileText("app.20240311.log"));
}

TEST_F(LogTest, SameDayOfMonthInALaterMonthGetsItsOwnFile) {
    writeAt(localAt(2024, 1, 5, 10, 0, 0), "january");
    writeAt(localAt(2024, 2, 5, 10, 0, 0), "february");
    EXPECT_EQ((std::vector<std::string>{"app.20240105.log", "app.20240205.log"}), files());
}

TEST_F(LogTest, HourlyNameCarriesTheHour) {
    useMode(REOPEN_HH);
    writeAt(localAt(2024, 3, 10, 9, 59, 59, 999), "a");
    writeAt(localAt(2024, 3, 10, 10, 0, 0), "b");
    writeAt(localAt(2024, 3, 10, 10, 59, 0), "c");
    EXPECT_EQ((std::vector<std::string>{"app.2024031009.log", "app.2024031010.log"}), files());
    EXPECT_EQ(2u, splitLines(fileText("app.2024031010.log")).size());
}

TEST_F(LogTest, ExistingFileOfThePeriodIsAppendedTo) {
    m_dir.write("app.20240310.log", "earlier run\n");
    writeAt(localAt(2024, 3, 10, 8, 0, 0), "this run");
    EXPECT_EQ("earlier run\n2024-03-10 08:00:00.000:this run\n", fileText("app.20240310.log"));
}

TEST_F(LogTest, PiLineWrapsTheTimestampInBrackets) {
    m_log.log_pi("pi %d", 3);
    const auto lines = splitLines(allText());
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(matchesShape(lines[0], "[20NN-NN-NN NN:NN:NN.NNN]:pi 3"))
        << lines[0];
}

TEST_F(LogTest, FormattedLineIsWrittenWithTheCurrentTime) {
    m_log.log("user %s joined room %d", "kim", 12);
    const auto lines = splitLines(allText());
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(matchesShape(lines[0], "20NN-NN-NN NN:NN:NN.NNN:user kim joined room 12"))
        << lines[0];
}

TEST_F(LogTest, LongLineIsWrittenWhole) {
    const std::string payload(20000, 'x');
    m_log.log("%s|end", payload.c_str());
    const auto lines = splitLines(allText());
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(payload + "|end", lines[0].substr(lines[0].find(':', 20) + 1));
}

TEST_F(LogTest, OverlongStemIsCutTo31Bytes) {
    const std::string stem(40, 's');
    m_log.init(m_dir.path().c_str(), stem.c_str(), REOPEN_DD);
    writeAt(localAt(2024, 3, 10, 8, 0, 0), "x");
    EXPECT_EQ(std::vector<std::string>{std::string(31, 's') + ".20240310.log"}, files());
}

TEST_F(LogTest, UnreachableDirectoryReportsEveryWriteAndWritesNothing) {
    const std::string missing = m_dir.file("no/such/dir");
    m_log.init(missing.c_str(), "app", REOPEN_DD);
    const std::string name = missing + "/app.20240310.log";

    testing::internal::CaptureStderr();
    writeAt(localAt(2024, 3, 10, 8, 0, 0), "lost 1");
    writeAt(localAt(2024, 3, 10, 8, 0, 1), "lost 2");
    const std::string err = testing::internal::GetCapturedStderr();

    const std::string failure = "logging fail: cannot open file: " + name + ", 2\n";
    size_t count = 0;
    for (size_t pos = err.find(failure); pos != std::string::npos; pos = err.find(failure, pos + 1)) ++count;
    EXPECT_EQ(2u, count) << err;
    EXPECT_NE(std::string::npos, err.find("m_fp = 0x0, m_fp->_flags = 0x0, file = " + name + "\n")) << err;
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("no")));
    EXPECT_EQ("", m_log.fileName());
}

TEST_F(LogTest, WritingResumesOnceTheDirectoryAppears) {
    const std::string later = m_dir.file("later");
    m_log.init(later.c_str(), "app", REOPEN_DD);
    testing::internal::CaptureStderr();
    writeAt(localAt(2024, 3, 10, 8, 0, 0), "lost");
    testing::internal::GetCapturedStderr();

    std::filesystem::create_directory(later);
    writeAt(localAt(2024, 3, 10, 8, 0, 1), "kept");
    EXPECT_EQ("2024-03-10 08:00:01.000:kept\n", m_dir.read("later/app.20240310.log"));
}

TEST_F(LogTest, ClosedLogDropsLinesWithoutOpeningAnything) {
    writeAt(localAt(2024, 3, 10, 8, 0, 0), "before");
    m_log.close();
    EXPECT_EQ("", m_log.fileName());

    testing::internal::CaptureStderr();
    writeAt(localAt(2024, 3, 10, 8, 0, 1), "after");
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", m_log.fileName());
    EXPECT_EQ(1u, splitLines(fileText("app.20240310.log")).size());
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            const std::string body(500 + 37 * t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) m_log.log("T%d:%d:%s", t, i, body.c_str());
        });
    }
    for (auto& w : writers) w.join();

    // Each line must be exactly one writer's line: prefix, tag, and a body
    // of that writer's letter at that writer's length.
    const auto lines = splitLines(allText());
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    for (const std::string& line : lines) {
        ASSERT_GT(line.size(), 28u) << line;
        ASSERT_TRUE(matchesShape(line.substr(0, 24), "20NN-NN-NN NN:NN:NN.NNN:")) << line.substr(0, 80);
        ASSERT_EQ('T', line[24]) << line.substr(0, 80);
        const int t = line[25] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 80);
        const std::string body = line.substr(line.find(':', 27) + 1);
        EXPECT_EQ(std::string(500 + 37 * t, static_cast<char>('a' + t)), body) << line.substr(0, 80);
    }
}

// The statistics log: written under a fixed name, finished days moved aside.
class LogStatTest : public ::testing::Test {
protected:
    void SetUp() override { m_log.init(m_dir.path().c_str(), "stat", REOPEN_DD); }

    void writeAt(const timeval& t, const char* text) { m_log.logAt(t, text); }
    std::string live() const { return m_dir.read("stat.log"); }
    std::string dated(const char* day) const { return m_dir.read(std::string("stat.") + day + ".log"); }
    bool exists(const std::string& name) const { return std::filesystem::exists(m_dir.file(name)); }
    void writtenAt(const std::string& name, const timeval& t) const {
        const timeval times[2] = {t, t};
        ASSERT_EQ(0, utimes(m_dir.file(name).c_str(), times));
    }

    TempDir m_dir;
    LogStat m_log;
};

TEST_F(LogStatTest, MidnightMovesTheDayToItsDatedName) {
    writeAt(localAt(2024, 6, 15, 23, 59, 59, 999), "old day");
    writeAt(localAt(2024, 6, 16, 0, 0, 0), "new day");
    EXPECT_EQ("2024-06-15 23:59:59.999:old day\n", dated("2024_06_15"));
    EXPECT_EQ("2024-06-16 00:00:00.000:new day\n", live());
}

TEST_F(LogStatTest, FirstOfTheMonthMovesToTheLastDayOfThePreviousMonth) {
    writeAt(localAt(2024, 2, 29, 12, 0, 0), "leap day");
    writeAt(localAt(2024, 3, 1, 0, 0, 0), "march");
    EXPECT_EQ("2024-02-29 12:00:00.000:leap day\n", dated("2024_02_29"));
    EXPECT_FALSE(exists("stat.2024_03_00.log"));
}

TEST_F(LogStatTest, NewYearMovesToTheLastDayOfThePreviousYear) {
    writeAt(localAt(2023, 12, 31, 18, 0, 0), "old year");
    writeAt(localAt(2024, 1, 1, 0, 0, 0), "new year");
    EXPECT_EQ("2023-12-31 18:00:00.000:old year\n", dated("2023_12_31"));
}

TEST_F(LogStatTest, AtStartAFileOfAnEarlierDayMovesUnderItsOwnDayAndOneOfTodayStays) {
    m_dir.write("stat.log", "earlier run\n");
    writtenAt("stat.log", localAt(2024, 6, 12, 20, 0, 0));
    writeAt(localAt(2024, 6, 15, 8, 0, 0), "this run");
    EXPECT_EQ("earlier run\n", dated("2024_06_12"));
    EXPECT_EQ("2024-06-15 08:00:00.000:this run\n", live());

    LogStat restarted;  // later the same day
    restarted.init(m_dir.path().c_str(), "stat", REOPEN_DD);
    writtenAt("stat.log", localAt(2024, 6, 15, 8, 0, 0));
    restarted.logAt(localAt(2024, 6, 15, 11, 0, 0), "after restart");
    EXPECT_EQ("2024-06-15 08:00:00.000:this run\n2024-06-15 11:00:00.000:after restart\n", live());
}

TEST_F(LogStatTest, AnEmptyFileNeverBecomesADatedCopy) {
    m_dir.write("stat.log", "");
    writtenAt("stat.log", localAt(2024, 6, 14, 9, 0, 0));
    writeAt(localAt(2024, 6, 15, 8, 0, 0), "first line");
    EXPECT_FALSE(exists("stat.2024_06_14.log"));
    EXPECT_EQ("2024-06-15 08:00:00.000:first line\n", live());
}

TEST_F(LogStatTest, MovingOntoAnExistingDatedCopyKeepsBothParts) {
    m_dir.write("stat.2024_06_14.log", "moved before\n");
    m_dir.write("stat.log", "written later that day\n");
    writtenAt("stat.log", localAt(2024, 6, 14, 22, 0, 0));
    writeAt(localAt(2024, 6, 15, 11, 0, 0), "next day");
    EXPECT_EQ("moved before\nwritten later that day\n", dated("2024_06_14"));
    EXPECT_EQ("2024-06-15 11:00:00.000:next day\n", live());
}

}  // namespace

// Batched lines reach the file whole and in order once the oldest waited the
// interval, at turnover and at close; never before.
TEST_F(LogTest, BatchedLinesWaitForTheIntervalTurnoverOrClose) {
    m_log.setFlushInterval(100);
    const timeval first = localAt(2024, 3, 10, 23, 59, 59, 800);
    writeAt(first, "one");
    writeAt(localAt(2024, 3, 10, 23, 59, 59, 850), "two");
    EXPECT_EQ("", fileText("app.20240310.log"));
    m_log.flushIfDue(localAt(2024, 3, 10, 23, 59, 59, 899));
    EXPECT_EQ("", fileText("app.20240310.log"));
    m_log.flushIfDue(localAt(2024, 3, 10, 23, 59, 59, 900));
    EXPECT_EQ(2u, splitLines(fileText("app.20240310.log")).size());

    writeAt(localAt(2024, 3, 10, 23, 59, 59, 950), "three");
    writeAt(localAt(2024, 3, 11, 0, 0, 0, 0), "next day");
    EXPECT_EQ(3u, splitLines(fileText("app.20240310.log")).size());
    m_log.close();
    EXPECT_EQ("2024-03-11 00:00:00.000:next day\n", fileText("app.20240311.log"));
}
