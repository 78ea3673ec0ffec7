// The WAS job journal: what a reopen gives back, how torn and damaged
// segments are set aside, the size limit, compaction of retired segments,
// fsync batching with the durable callbacks, and the dead-letter file.

#include "tolvex/task/JobJournal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPage = "/was/save_msg";
const std::string kForm = "room=7&text=hi";
// Header, type, id, room, both lengths, page, form.
const uint64_t kRecordBytes = 8 + 1 + 8 + 4 + 2 + 4 + kPage.size() + kForm.size();

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Designated initializers would leave dir out, which -Wextra flags.
JobJournal::options_t sized(uint64_t maxBytes, uint64_t segmentBytes) {
    JobJournal::options_t options;
    options.maxBytes = maxBytes;
    options.segmentBytes = segmentBytes;
    return options;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

class JobJournalTest : public ::testing::Test {
protected:
    // Opens m_journal afresh on the fixture's folder; pending and notes land in the fixture.
    void reopen(JobJournal::options_t options = {}) {
        options.dir = m_dir.file("journal");
        m_journal = std::make_unique<JobJournal>();
        std::string error;
        ASSERT_EQ(0, m_journal->open(options, &m_pending, &m_notes, &error)) << error;
    }
    uint64_t add(uint32_t roomId = 7, const std::string& form = kForm) {
        uint64_t id = 0;
        EXPECT_EQ(0, m_journal->append(roomId, kPage, form, &id));
        return id;
    }
    std::vector<uint64_t> pendingIds() const {
        std::vector<uint64_t> ids;
        for (const auto& r : m_pending) ids.push_back(r.id);
        return ids;
    }
    std::vector<std::string> filesStarting(const std::string& prefix) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir.file("journal")))
            if (e.path().filename().string().rfind(prefix, 0) == 0) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string segmentPath() const { return m_dir.file("journal/" + filesStarting("journal-").back()); }
    std::string journalFile(const std::string& name) const { return m_dir.read("journal/" + name); }

    TempDir m_dir;
    std::unique_ptr<JobJournal> m_journal;
    std::vector<JobJournal::record_t> m_pending;
    std::vector<std::string> m_notes;
};

TEST_F(JobJournalTest, ReopenGivesBackExactlyTheUnretiredRecordsInOrder) {
    reopen();
    const std::string binaryForm("a\0b\nc", 5);
    EXPECT_EQ(1u, add(11));
    EXPECT_EQ(2u, add(12));
    EXPECT_EQ(3u, add(13, binaryForm));
    m_journal->retire(2);
    m_journal->retire(2);   // twice, and an unknown id: both ignored
    m_journal->retire(99);

    reopen();
    ASSERT_EQ((std::vector<uint64_t>{1, 3}), pendingIds());
    EXPECT_EQ(11u, m_pending[0].roomId);
    EXPECT_EQ(kPage, m_pending[1].page);
    EXPECT_EQ(binaryForm, m_pending[1].form);
    EXPECT_TRUE(m_notes.empty());
    EXPECT_EQ(4u, add());
    JobJournal::record_t r;
    EXPECT_FALSE(m_journal->read(2, &r));
    ASSERT_TRUE(m_journal->read(3, &r));
    EXPECT_EQ(binaryForm, r.form);

    const std::string dump = JobJournal::dump(m_dir.file("journal"));
    EXPECT_NE(std::string::npos, dump.find("job id=2 room=12 form=14 retired page=/was/save_msg")) << dump;
    EXPECT_NE(std::string::npos, dump.find("job id=3 room=13 form=5 pending")) << dump;
}

// Damage to the last of four records, and where the good part ends.
struct damage_t {
    const char* name;
    void (*apply)(const std::string& segment);
    uint64_t goodRecords;
};

class JobJournalDamageTest : public JobJournalTest, public ::testing::WithParamInterface<damage_t> {};

TEST_P(JobJournalDamageTest, KeepsWhatCameBeforeAndSetsTheRestAside) {
    reopen();
    for (int i = 0; i < 4; ++i) add();
    const std::string before = readFile(segmentPath());
    GetParam().apply(segmentPath());
    const std::string damaged = readFile(segmentPath());
    EXPECT_NE(std::string::npos, JobJournal::dump(m_dir.file("journal")).find("corrupt:"));

    reopen();
    const uint64_t good = GetParam().goodRecords * kRecordBytes;
    EXPECT_EQ(GetParam().goodRecords, m_pending.size());
    ASSERT_EQ(1u, m_notes.size());
    const std::vector<std::string> aside = filesStarting("corrupt-");
    ASSERT_EQ(1u, aside.size());
    EXPECT_NE(std::string::npos, m_notes[0].find(aside[0])) << m_notes[0];
    EXPECT_EQ(damaged.substr(good), journalFile(aside[0]));
    EXPECT_EQ(before.substr(0, good), readFile(segmentPath()));

    // Ids go on from the last one kept: the torn ones never counted.
    EXPECT_EQ(GetParam().goodRecords + 1, add());
    reopen();
    EXPECT_TRUE(m_notes.empty());
    EXPECT_EQ(GetParam().goodRecords + 1, m_pending.size());
}

INSTANTIATE_TEST_SUITE_P(
    JobJournalSegments, JobJournalDamageTest,
    ::testing::Values(
        damage_t{"TornTail", [](const std::string& p) { truncate(p.c_str(), fs::file_size(p) - 3); }, 3},
        damage_t{"FlippedByteInTheMiddle",
                 [](const std::string& p) {
                     std::string bytes = readFile(p);
                     bytes[2 * kRecordBytes + 20] ^= 0x40;
                     writeFile(p, bytes);
                 },
                 2},
        damage_t{"LengthOver64MiB",
                 [](const std::string& p) {
                     std::string bytes = readFile(p);
                     bytes.replace(kRecordBytes, 4, "\xff\xff\xff\x04");
                     writeFile(p, bytes);
                 },
                 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JobJournalTest, RefusesPastMaxBytesUntilRetiredBytesAreFreed) {
    reopen(sized(3 * kRecordBytes, 1 << 20));
    for (int i = 0; i < 3; ++i) add();
    uint64_t id = 0;
    EXPECT_EQ(-1, m_journal->append(7, kPage, kForm, &id));
    EXPECT_TRUE(m_journal->full());
    EXPECT_EQ(3 * kRecordBytes, m_journal->bytes());

    m_journal->retire(1);
    EXPECT_EQ(-1, m_journal->append(7, kPage, kForm, &id));  // 2 and 3 still hold the segment
    m_journal->retire(2);
    m_journal->retire(3);
    EXPECT_EQ(0, m_journal->append(7, kPage, kForm, &id));
    EXPECT_FALSE(m_journal->full());
    EXPECT_EQ(kRecordBytes, m_journal->bytes());
}

TEST_F(JobJournalTest, DeletesRetiredSegmentsButNeverOneWhoseMarksStillMatter) {
    // Two jobs fit in a segment; a third starts the next one.
    reopen(sized(1 << 20, kRecordBytes + 1));
    for (int i = 0; i < 3; ++i) add();  // segments 1: {1, 2}, 3: {3}
    m_journal->retire(1);               // marks go to segment 3
    m_journal->retire(3);
    add();                              // segment 4: {4}
    // Segment 3 holds no job, but dropping it would bring job 1 back.
    EXPECT_EQ(3u, filesStarting("journal-").size());
    reopen(sized(1 << 20, kRecordBytes + 1));
    EXPECT_EQ((std::vector<uint64_t>{2, 4}), pendingIds());

    m_journal->retire(2);
    EXPECT_EQ(std::vector<std::string>{"journal-0000000000000004.log"}, filesStarting("journal-"));
    EXPECT_EQ(m_journal->bytes(), fs::file_size(segmentPath()));
    reopen();
    EXPECT_EQ(std::vector<uint64_t>{4}, pendingIds());
    EXPECT_EQ(5u, add());
}

TEST_F(JobJournalTest, DurableCallbacksWaitForOneFsyncPerPass) {
    reopen();
    const Clock::time_point t0 = Clock::now();
    std::vector<int> ran;
    add();
    add();
    m_journal->afterDurable([&] { ran.push_back(1); });
    add();
    m_journal->afterDurable([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(1, m_journal->sync(t0));
    EXPECT_EQ((std::vector<int>{1, 2}), ran);
    EXPECT_EQ(0, m_journal->sync(t0));
    m_journal->retire(1);
    EXPECT_EQ(1, m_journal->sync(t0));

    JobJournal::options_t interval;
    interval.sync = JobJournal::sync_t::INTERVAL;
    interval.intervalMs = 100;
    reopen(interval);
    add();
    EXPECT_EQ(1, m_journal->sync(t0));
    add();
    m_journal->afterDurable([&] { ran.push_back(3); });
    EXPECT_EQ(0, m_journal->sync(t0 + std::chrono::milliseconds(50)));
    EXPECT_EQ(3, ran.back());  // the interval is the promise, not the fsync
    EXPECT_EQ(1, m_journal->sync(t0 + std::chrono::milliseconds(100)));
}

TEST_F(JobJournalTest, DeadLetterWritesOneReadableLineAndRetires) {
    reopen();
    const uint64_t id = add(42, "a=1&b=2");
    m_journal->deadLetter(id, "WAS said 400\nbad form");
    const std::string log = journalFile("dead-letter.log");
    EXPECT_EQ(1, std::count(log.begin(), log.end(), '\n'));
    EXPECT_NE(std::string::npos, log.find("\tid=1\troom=42\tpage=/was/save_msg\treason=WAS said 400 bad form\tform=a=1&b=2\n"))
        << log;
    EXPECT_EQ(0u, m_journal->unretired());
    reopen();
    EXPECT_TRUE(m_pending.empty());
}
