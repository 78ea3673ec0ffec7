#pragma once
// Test harness for the WAS: runs the real server in-process on 127.0.0.1
// port 0 over a fresh database (an SQLite file in a temporary directory, or a
// new database on the tests' PostgreSQL server), posts requests as raw
// HTTP/1.0 bytes exactly as the daemon writes them, and reads replies the
// way the daemon does (binary header, then XML attributes by position).

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "was/WasServer.h"
#include "was/WasStore.h"

using Rows = std::vector<std::vector<std::string>>;

// Every byte of a string literal, zero bytes included; and the header of a reply that says done.
template <size_t N>
std::string bytesOf(const char (&text)[N]) {
    return std::string(text, N - 1);
}
inline const std::string kOkHeader = bytesOf("\xFE\x00\x00\x00");

// The daemon's form encoding: letters, digits and !$'()*,-./;_ unchanged,
// every other byte (zero included) as %XX in upper case.
std::string daemonEncode(const std::string& bytes);

// A form body built field by field in the daemon's order and encoding.
class Form {
public:
    Form& num(const std::string& name, int64_t value) { return raw(name, std::to_string(value)); }
    Form& text(const std::string& name, const std::string& bytes) { return raw(name, daemonEncode(bytes)); }
    Form& raw(const std::string& name, const std::string& value) {
        m_body += (m_body.empty() ? "" : "&") + name + "=" + value;
        return *this;
    }
    const std::string& body() const { return m_body; }

private:
    std::string m_body;
};

// A member as the daemon lists it in a save request.
struct member_args_t {
    std::string id;
    std::string name;
    uint32_t joinSeq = 1;
    std::string readYn = "y";
};

// The fields of a save request; the defaults make a text message from
// alice to bob and carol in room 17 of tenant example.com.
struct save_args_t {
    uint32_t roomId = 17;
    std::string senderId = "alice@corp.example.com";
    std::string senderName = "Alice";
    std::string msg = "hello";
    uint32_t msgSeq = 1;
    uint32_t msgType = 1;
    uint32_t time = 1700000000;
    std::vector<member_args_t> members = {{"alice@corp.example.com", "Alice", 1, "y"},
                                          {"bob@corp.example.com", "Bob", 2, "n"},
                                          {"carol@corp.example.com", "Carol", 3, "n"}};
    uint32_t trid = 77;
    uint32_t osType = 1;
    uint32_t roomType = 10;
    std::string fileName;
    uint32_t fileSize = 0;
    std::string fileUrl;
};

// The save form with every field in the daemon's order and separators.
Form saveForm(const save_args_t& args);

// One reply as the daemon's HTTP session and WAS job see it.
struct was_reply_t {
    std::string statusLine;
    std::string body;        // everything after the empty line
    bool hasHeader = false;  // body starts with 0xFE and a full header
    int code = -1;           // the result code; -1 without a header
    std::string errorText;
    std::string payload;  // after the header: the page's XML, if any
};
was_reply_t parseReply(const std::string& wire);

// The attribute values of every element named element, in document order, read
// by position as the daemon does; parsed is false for a document not well-formed.
struct xml_rows_t {
    bool parsed = false;
    Rows rows;
};
xml_rows_t xmlRows(const std::string& payload, const std::string& element);

// Sends bytes to 127.0.0.1:port on a fresh connection and reads until the
// server closes (or 5 seconds pass). halfClose ends the sending side after
// the bytes, as a peer that goes away mid-request does.
std::string exchangeWith(int port, const std::string& wire, bool halfClose = false);
// A POST exactly as the daemon builds it: no Host header.
std::string daemonRequest(const std::string& page, const std::string& body);

// Rows of an SQL query on a store's database (a --db location), read on a
// connection of its own; every column as text, NULL as "NULL", and bytes
// columns as their bytes on either engine, so one expectation holds for both.
Rows storedRows(const std::string& db, const std::string& query);

enum class WasEngine { Sqlite, Postgres };
inline const auto kWasEngines = ::testing::Values(WasEngine::Sqlite, WasEngine::Postgres);
std::string wasEngineName(const ::testing::TestParamInfo<WasEngine>& info);
void PrintTo(WasEngine engine, std::ostream* out);

class WasLoopbackTest : public ::testing::Test {
protected:
    explicit WasLoopbackTest(WasEngine engine = WasEngine::Sqlite) : m_engine(engine) {}
    void SetUp() override;
    void TearDown() override;

    void startWas(const was_server_settings_t& settings = was_server_settings_t(),
                  const commit_settings_t& commit = commit_settings_t());
    void stopWas();
    // Stops and starts again on the same database.
    void restartWas();

    std::string exchange(const std::string& wire, bool halfClose = false) {
        return exchangeWith(m_port, wire, halfClose);
    }
    was_reply_t postBody(const std::string& page, const std::string& body) {
        return parseReply(exchange(daemonRequest(page, body)));
    }
    was_reply_t post(const std::string& page, const Form& form) { return postBody(page, form.body()); }

    // The pages as the daemon posts them, for room 17 of example.com unless told.
    was_reply_t save(const save_args_t& args) { return post("/was/saveMessage", saveForm(args)); }
    was_reply_t markDelivered(uint32_t msgSeq, const std::string& users, const std::string& joinSeqs);
    was_reply_t endRoom(uint32_t roomId, const std::string& tenant = "example.com");
    was_reply_t loadRoom(uint32_t roomId, const std::string& tenant = "example.com");
    // The send_fail_info rows of a message; *code gets the result code.
    Rows failedRecipients(uint32_t msgSeq, int* code = nullptr);

    // The --db location of this test's database.
    const std::string& location() const { return m_location; }
    // Rows of a query on this test's database (see storedRows).
    Rows sql(const std::string& query) { return storedRows(m_location, query); }
    // Everything stored, as the operator's dump prints it.
    std::string dump();

private:
    const WasEngine m_engine;
    TempDir m_dir;
    std::string m_location;
    was_server_settings_t m_settings;
    commit_settings_t m_commit;
    std::unique_ptr<WasStore> m_store;
    std::unique_ptr<WasServer> m_server;
    std::thread m_thread;
    int m_port = -1;
};

// Page tests that hold on either engine derive from this and are
// instantiated once per engine:
//   INSTANTIATE_TEST_SUITE_P(, RoomPagesTest, kWasEngines, wasEngineName);
class WasEngineTest : public WasLoopbackTest, public ::testing::WithParamInterface<WasEngine> {
protected:
    WasEngineTest() : WasLoopbackTest(GetParam()) {}
};
