// tolvex-was as an operator starts it: the real executable, its exit status
// and what it says on stderr.
#include <gtest/gtest.h>

#include "WasHarness.h"
#include "support/DaemonHarness.h"
#include "support/PgTestServer.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"

namespace {

// Two WAS processes on one address would split the daemon's requests between
// two databases.
TEST(WasMainTest, ASecondWasOnATakenAddressRefusesToStart) {
    TempDir dir;
    const int port = freeTcpPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    Process first(binPath("tolvex-was"), {"--db", dir.file("first.db"), "--listen", address});
    ASSERT_TRUE(waitFor([&] { return canConnect(port); })) << first.stderrText();

    Process second(binPath("tolvex-was"), {"--db", dir.file("second.db"), "--listen", address});
    EXPECT_EQ(1, second.waitExit());
    EXPECT_EQ("tolvex-was: cannot listen on " + address + ": Address already in use\n",
              second.stderrText());
    EXPECT_TRUE(first.running());
}

// The same executable on a PostgreSQL database: it serves the pages and
// --dump shows what they stored.
TEST(WasMainTest, ServesAndDumpsAPostgresDatabase) {
    const std::string db = PgTestServer::shared().freshDatabase();
    {
        RealWas was(db);
        ASSERT_TRUE(was.start()) << was.stderrText();
        const std::string request = daemonRequest(DaemonHarness::kSaveMsgPage, saveForm(save_args_t()).body());
        EXPECT_EQ(kOkHeader, parseReply(exchangeWith(was.port(), request)).body);
        const std::string dump = was.dump();
        EXPECT_NE(std::string::npos, dump.find("room 17 tenant \"example.com\"")) << dump;
        EXPECT_NE(std::string::npos, dump.find(" text \"hello\"\n")) << dump;
    }
    PgTestServer::shared().dropDatabase(db);
}

}  // namespace
