// tolvex-was as an operator starts it: the real executable, its exit status
// and what it says on stderr.
#include <gtest/gtest.h>

#include "support/Process.h"
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

}  // namespace
