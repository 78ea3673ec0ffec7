#include "cpputil/Log.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "support/TextShape.h"

namespace {

using Lines = std::vector<std::string>;

// "2024-03-10 12:34:56.789" in local time, as the log's clock seam takes it.
timeval localAt(const std::string& text) {
    tm lt{};
    int ms = 0;
    std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d", &lt.tm_year, &lt.tm_mon, &lt.tm_mday, &lt.tm_hour, &lt.tm_min,
                &lt.tm_sec, &ms);
    lt.tm_year -= 1900;
    lt.tm_mon -= 1;
    lt.tm_isdst = -1;
    return timeval{mktime(&lt), ms * 1000};
}

Lines splitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class LogFiles {
protected:
    Lines files() const {
        Lines names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string allText() const {
        std::string all;
        for (const std::string& name : files()) all += m_dir.read(name);
        return all;
    }

    TempDir m_dir;
};

class LogTest : public ::testing::Test, public LogFiles {
protected:
    void SetUp() override { m_log.init(m_dir.path().c_str(), "app", REOPEN_DD); }
    void writeAt(const std::string& when, const std::string& text) { m_log.logAt(localAt(when), text.c_str()); }

    Log m_log;
};

struct turnover_case_t {
    const char* name;
    reopen_t mode;
    const char* first;
    const char* second;
    Lines files;
};

void PrintTo(const turnover_case_t& c, std::ostream* os) {
    *os << c.name;
}

class LogTurnoverTest : public LogTest, public testing::WithParamInterface<turnover_case_t> {};

// Each period has its own file; a file of the period left by an earlier run
// is appended to.
TEST_P(LogTurnoverTest, LinesGoToTheFileOfTheirPeriod) {
    const turnover_case_t& c = GetParam();
    m_log.init(m_dir.path().c_str(), "app", c.mode);
    m_dir.write(c.files[0], "earlier run\n");
    writeAt(c.first, "one");
    writeAt(c.second, "two");
    EXPECT_EQ(c.files, files());
    EXPECT_EQ(std::string("earlier run\n") + c.first + ":one\n" + c.second + ":two\n", allText());
    EXPECT_EQ(m_dir.file(c.files.back()), m_log.fileName());
}

INSTANTIATE_TEST_SUITE_P(
    Periods, LogTurnoverTest,
    testing::Values(
        turnover_case_t{"Midnight", REOPEN_DD, "2024-03-10 23:59:59.999", "2024-03-11 00:00:00.000",
                        {"app.20240310.log", "app.20240311.log"}},
        turnover_case_t{"SameDayOfALaterMonth", REOPEN_DD, "2024-01-05 10:00:00.000", "2024-02-05 10:00:00.000",
                        {"app.20240105.log", "app.20240205.log"}},
        turnover_case_t{"Hourly", REOPEN_HH, "2024-03-10 09:59:59.999", "2024-03-10 10:00:00.000",
                        {"app.2024031009.log", "app.2024031010.log"}}));

TEST_F(LogTest, OverlongStemIsCutTo31BytesAndLongLinesAreWrittenWhole) {
    m_log.init(m_dir.path().c_str(), std::string(40, 's').c_str(), REOPEN_DD);
    const std::string payload(20000, 'x');
    m_log.log("%s|end", payload.c_str());
    const Lines names = files();
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(matchesShape(names[0], std::string(31, 's') + ".20NNNNNN.log")) << names[0];
    const Lines lines = splitLines(allText());
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(payload + "|end", lines[0].substr(24));
}

// Each line must be exactly one writer's line: prefix, tag, and a body of
// that writer's letter at that writer's length.
TEST_F(LogTest, ConcurrentWritersNeverInterleaveWithinALine) {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    auto body = [](int t) { return std::string(500 + 37 * t, static_cast<char>('a' + t)); };
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) m_log.log("T%d:%s", t, body(t).c_str());
        });
    for (auto& w : writers) w.join();

    const Lines lines = splitLines(allText());
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    for (const std::string& line : lines) {
        ASSERT_TRUE(matchesShape(line.substr(0, 27), "20NN-NN-NN NN:NN:NN.NNN:TN:")) << line.substr(0, 80);
        EXPECT_EQ(body(line[25] - '0'), line.substr(27)) << line.substr(0, 80);
    }
}

// Batched lines reach the file whole and in order once the oldest waited the
// interval, at turnover and at close; never before.
TEST_F(LogTest, BatchedLinesWaitForTheIntervalTurnoverOrClose) {
    m_log.setFlushInterval(100);
    writeAt("2024-03-10 23:59:59.800", "one");
    writeAt("2024-03-10 23:59:59.850", "two");
    EXPECT_EQ("", m_dir.read("app.20240310.log"));
    m_log.flushIfDue(localAt("2024-03-10 23:59:59.899"));
    EXPECT_EQ("", m_dir.read("app.20240310.log"));
    m_log.flushIfDue(localAt("2024-03-10 23:59:59.900"));
    EXPECT_EQ(2u, splitLines(m_dir.read("app.20240310.log")).size());

    writeAt("2024-03-10 23:59:59.950", "three");
    writeAt("2024-03-11 00:00:00.000", "next day");
    EXPECT_EQ(3u, splitLines(m_dir.read("app.20240310.log")).size());
    m_log.close();
    EXPECT_EQ("2024-03-11 00:00:00.000:next day\n", m_dir.read("app.20240311.log"));
}

// The statistics log is written under a fixed name; at the first line of a
// new day the lines of the earlier day move to a name carrying the day they
// were written (the file's modification day when it was left by an earlier
// run).
struct stat_case_t {
    const char* name;
    const char* leftBehind;  // stat.log of an earlier run, or nullptr
    const char* leftAt;      // its modification time
    const char* movedBefore;  // the dated copy already there, or nullptr
    std::vector<std::pair<const char*, const char*>> lines;  // (time, text)
    const char* day;    // of the dated copy, e.g. "2024_06_15"
    const char* dated;  // its expected content; nullptr: must not exist
    std::string live;
};

void PrintTo(const stat_case_t& c, std::ostream* os) {
    *os << c.name;
}

class LogStatTest : public testing::TestWithParam<stat_case_t>, public LogFiles {};

TEST_P(LogStatTest, EarlierDaysMoveUnderTheDayTheyWereWritten) {
    const stat_case_t& c = GetParam();
    const std::string datedName = std::string("stat.") + c.day + ".log";
    if (c.movedBefore) m_dir.write(datedName, c.movedBefore);
    if (c.leftBehind) {
        m_dir.write("stat.log", c.leftBehind);
        const timeval times[2] = {localAt(c.leftAt), localAt(c.leftAt)};
        ASSERT_EQ(0, utimes(m_dir.file("stat.log").c_str(), times));
    }
    LogStat log;
    log.init(m_dir.path().c_str(), "stat", REOPEN_DD);
    for (const auto& [when, text] : c.lines) log.logAt(localAt(when), text);
    const Lines expected = c.dated ? Lines{datedName, "stat.log"} : Lines{"stat.log"};
    EXPECT_EQ(expected, files());
    EXPECT_EQ(c.dated ? c.dated : "", m_dir.read(datedName));
    EXPECT_EQ(c.live, m_dir.read("stat.log"));
}

INSTANTIATE_TEST_SUITE_P(
    Days, LogStatTest,
    testing::Values(
        stat_case_t{"Midnight", nullptr, nullptr, nullptr,
                    {{"2024-06-15 23:59:59.999", "old day"}, {"2024-06-16 00:00:00.000", "new day"}},
                    "2024_06_15", "2024-06-15 23:59:59.999:old day\n", "2024-06-16 00:00:00.000:new day\n"},
        stat_case_t{"EndOfFebruary", nullptr, nullptr, nullptr,
                    {{"2024-02-29 12:00:00.000", "leap day"}, {"2024-03-01 00:00:00.000", "march"}},
                    "2024_02_29", "2024-02-29 12:00:00.000:leap day\n", "2024-03-01 00:00:00.000:march\n"},
        stat_case_t{"EndOfYear", nullptr, nullptr, nullptr,
                    {{"2023-12-31 18:00:00.000", "old year"}, {"2024-01-01 00:00:00.000", "new year"}},
                    "2023_12_31", "2023-12-31 18:00:00.000:old year\n", "2024-01-01 00:00:00.000:new year\n"},
        stat_case_t{"LeftByAnEarlierRun", "earlier run\n", "2024-06-12 20:00:00.000", nullptr,
                    {{"2024-06-15 08:00:00.000", "this run"}},
                    "2024_06_12", "earlier run\n", "2024-06-15 08:00:00.000:this run\n"},
        stat_case_t{"RestartTheSameDay", "this morning\n", "2024-06-15 08:00:00.000", nullptr,
                    {{"2024-06-15 11:00:00.000", "after restart"}},
                    "2024_06_15", nullptr, "this morning\n2024-06-15 11:00:00.000:after restart\n"},
        stat_case_t{"EmptyFileLeftBehind", "", "2024-06-14 09:00:00.000", nullptr,
                    {{"2024-06-15 08:00:00.000", "first line"}},
                    "2024_06_14", nullptr, "2024-06-15 08:00:00.000:first line\n"},
        stat_case_t{"OntoAnExistingCopy", "written later that day\n", "2024-06-14 22:00:00.000", "moved before\n",
                    {{"2024-06-15 11:00:00.000", "next day"}},
                    "2024_06_14", "moved before\nwritten later that day\n", "2024-06-15 11:00:00.000:next day\n"}));

}  // namespace
