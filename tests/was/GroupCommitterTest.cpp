// The store's writer: writes that share a transaction stay independent when
// one of them is refused, and a commit that fails keeps none of them.
#include "was/GroupCommitter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"
#include "was/RequestError.h"
#include "was/SqliteDb.h"

namespace {

using Work = std::function<void(SqliteDb&)>;

// Makes SQLite turn every COMMIT into a rollback while the flag is set, as
// a commit that fails on the disk would.
int vetoCommit(void* veto) {
    return static_cast<std::atomic<bool>*>(veto)->load() ? 1 : 0;
}

class GroupCommitterTest : public ::testing::Test {
protected:
    // A window far longer than any test: a batch closes only once it holds
    // three writes, so the writes of one applyTogether() share it.
    void SetUp() override {
        auto db = std::make_unique<SqliteDb>(m_dir.file("t.db"), SqliteDb::Mode::ReadWrite);
        db->exec("CREATE TABLE t(k INTEGER PRIMARY KEY)");
        sqlite3_commit_hook(db->handle(), vetoCommit, &m_vetoCommits);
        m_writer = std::make_unique<GroupCommitter>(
            std::move(db), commit_settings_t{std::chrono::seconds(60), 3});
    }

    static Work insert(int k) {
        return [k](SqliteDb& db) { db.query("INSERT INTO t(k) VALUES(?1)")->bind(1, k).run(); };
    }

    // Applies each work from its own thread, queued in the order given;
    // "ok", "refused" or "failed" each.
    std::vector<std::string> applyTogether(const std::vector<Work>& works) {
        std::vector<std::string> outcomes(works.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < works.size(); ++i) {
            threads.emplace_back([&, i] {
                try {
                    m_writer->apply(works[i]);
                    outcomes[i] = "ok";
                } catch (const RequestError&) {
                    outcomes[i] = "refused";
                } catch (const SqliteError&) {
                    outcomes[i] = "failed";
                }
            });
            if (i + 1 < works.size()) {
                EXPECT_TRUE(waitFor([&] { return m_writer->queuedWrites() > i; }));
            }
        }
        for (auto& thread : threads) thread.join();
        return outcomes;
    }

    // The keys stored, read through a connection of their own.
    std::vector<int64_t> storedKeys() {
        SqliteDb db(m_dir.file("t.db"), SqliteDb::Mode::ReadOnly);
        auto q = db.query("SELECT k FROM t ORDER BY k");
        std::vector<int64_t> keys;
        while (q->step()) keys.push_back(q->columnInt(0));
        return keys;
    }

    TempDir m_dir;
    std::atomic<bool> m_vetoCommits{false};
    std::unique_ptr<GroupCommitter> m_writer;
};

TEST_F(GroupCommitterTest, AFailedCommitKeepsNoneAndARefusedWriteUndoesOnlyItsOwnRows) {
    m_vetoCommits = true;
    Work refused = [](SqliteDb&) { throw RequestError(WAS_NOT_FOUND, "unknown room"); };
    EXPECT_EQ((std::vector<std::string>{"failed", "failed", "failed"}), applyTogether({insert(1), insert(2), refused}));
    EXPECT_TRUE(storedKeys().empty());

    // The writer goes on with the next batch, where the refusal comes after
    // a write of its batch that must survive it.
    m_vetoCommits = false;
    Work refusedAfterWriting = [](SqliteDb& db) {
        insert(10)(db);
        throw RequestError(WAS_CONFLICT, "refused after writing");
    };
    EXPECT_EQ((std::vector<std::string>{"ok", "refused", "ok"}),
              applyTogether({insert(1), refusedAfterWriting, insert(2)}));
    EXPECT_EQ((std::vector<int64_t>{1, 2}), storedKeys());
}

}  // namespace
