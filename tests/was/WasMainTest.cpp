// tolvex-was as an operator starts it: the real executable, its exit status
// and what it says on stderr.
#include <gtest/gtest.h>

#include "WasHarness.h"
#include "support/DaemonHarness.h"
#include "support/PgTestServer.h"
#include "support/Process.h"
#include "support/RealWas.h"
#include "support/TempDir.h"
#include "support/TestTokens.h"

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

// The token page hands out tokens only to callers with the API key, and
// what it hands out is an HS256 token of the asked claims.
TEST(WasMainTest, TokenPageAnswersOnlyCallersWithTheApiKey) {
    TempDir dir;
    const std::string secret = "the WAS's HS256 secret, thirty-two bytes or more";
    const int port = freeTcpPort();
    Process was(binPath("tolvex-was"),
                {"--db", dir.file("was.db"), "--listen", "127.0.0.1:" + std::to_string(port), "--signing-key",
                 dir.write("s1.key", secret + "\n"), "--kid", "s1", "--api-key-file",
                 dir.write("api.key", "an api key of the login service\n")});
    ASSERT_TRUE(waitFor([&] { return canConnect(port); })) << was.stderrText();
    const auto ask = [&](const std::string& apiKey, const std::string& form) {
        return exchangeWith(port, "POST /was/token HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
                                      (apiKey.empty() ? "" : "X-Api-Key: " + apiKey + "\r\n") +
                                      "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form);
    };
    EXPECT_EQ(0u, ask("", "user=bob").find("HTTP/1.1 401"));
    EXPECT_EQ(0u, ask("an api key of the login servicE", "user=bob").find("HTTP/1.1 401"));
    EXPECT_EQ(0u, ask("an api key of the login service", "user=bob&device=tablet").find("HTTP/1.1 400"));

    const was_reply_t reply = parseReply(ask("an api key of the login service", "user=bob%40corp&room=7&device=mobile"));
    ASSERT_EQ(0u, reply.statusLine.find("HTTP/1.1 200")) << reply.statusLine;
    const std::string token = reply.body.substr(0, reply.body.find('\n'));
    const size_t dot = token.rfind('.');
    ASSERT_NE(std::string::npos, dot);
    EXPECT_EQ(testtoken::base64Url(testtoken::hmacSha256(secret, token.substr(0, dot))), token.substr(dot + 1));
    const std::string input = token.substr(0, dot);
    EXPECT_EQ(testtoken::base64Url("{\"alg\":\"HS256\",\"typ\":\"JWT\",\"kid\":\"s1\"}"), input.substr(0, input.find('.')));
}

}  // namespace
