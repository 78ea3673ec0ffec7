#pragma once
// Readers of the XML rows that some WAS pages return after the reply header.
// Attributes are taken by position, as the WAS sends them. Free functions
// that fill the caller's list; any thread, though the jobs call them on the
// event-loop thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tolvex/util/ChatCodes.h"

// One member row of a room that has not ended ("room" or "rm").
struct RoomNotEnd {
    static constexpr size_t kIdLen = MAX_ID_LEN;
    static constexpr size_t kEndYmdtLen = 51;

    uint32_t roomId = 0;
    std::string userId;        // at most kIdLen bytes
    std::string userNameInfo;  // at most kIdLen bytes
    std::string endYmdt;       // empty when the user has not left; at most kEndYmdtLen
    uint32_t joinSeq = 0;
    uint32_t maxMsgSeq = 0;
    uint32_t last_recv_time = 0;  // seconds
    uint16_t roomType = 0;        // 10 for more than two members, else 1
    uint32_t maxJoinSeq = 0;
};

// One recipient's mobile push outcome ("result").
struct npush_result {
    static constexpr size_t kIdLen = MAX_ID_LEN;
    static constexpr size_t kMsgLen = 2047;

    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    std::string toId;       // at most kIdLen bytes
    std::string resultMsg;  // at most kMsgLen bytes
    uint16_t resultCode = 0;
};

// One member that missed a message ("send_fail_info").
struct sendfail_user {
    static constexpr size_t kIdLen = MAX_ID_LEN;

    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    uint32_t trid = 0;
    std::string fromId;      // not sent by the WAS; stays empty
    std::string failUserId;  // at most kIdLen bytes
    std::string msg;         // not sent by the WAS; stays empty
};

// Each appends one record per matching element to *out. Missing attributes
// read as 0 or empty; longer values are cut to their field. text need not be
// terminated. 0, or -1 on an XML error or when no parser can be made (rows
// read before an error stay in *out).
// The not-ended list is parsed as a whole document (by RoomRowReader).
int parseNotEndRoom(const char* text, int len, std::vector<RoomNotEnd>* out);
// These two accept an unclosed document.
int parsePushResult(const char* text, int len, std::vector<npush_result>* out);
int parseSendFailUserList(const char* text, int len, std::vector<sendfail_user>* out);

// Reads a room list as it arrives and hands each row on as soon as its
// element is read, so a list of any length costs the memory of one row.
class RoomRowReader {
public:
    // Bounds on what one reply may make the daemon read: a row's element
    // (with whatever precedes it) and the rows of one page.
    static constexpr size_t kMaxRowBytes = 64 * 1024;
    static constexpr size_t kMaxRows = 10'000'000;

    explicit RoomRowReader(std::function<void(const RoomNotEnd&)> onRow, size_t maxRows = kMaxRows);
    ~RoomRowReader();
    RoomRowReader(const RoomRowReader&) = delete;
    RoomRowReader& operator=(const RoomRowReader&) = delete;

    // Reads the next piece; false once reading has stopped (broken XML, a
    // bound passed, no parser). Rows before that point were handed on.
    bool feed(const char* data, size_t len);
    // The document is over; false when it is incomplete or reading stopped.
    bool finish();

    size_t rows() const { return m_rows; }
    // Why reading stopped; empty while it goes on.
    const std::string& error() const { return m_error; }
    // Stopped on a bound rather than on the XML itself.
    bool overBound() const { return m_overBound; }

private:
    struct Parser;
    static void startElement(void* self, const char* name, const char** atts);
    static void endElement(void* self, const char* name);
    static void text(void* self, const char* s, int len);
    void noteProgress();
    void stop(std::string why, bool bound);
    void takeXmlError();

    std::function<void(const RoomNotEnd&)> m_onRow;
    size_t m_maxRows;
    std::unique_ptr<Parser> m_parser;
    size_t m_rows = 0;
    long long m_fed = 0;        // bytes given to the parser
    long long m_lastEvent = 0;  // where the parser last saw an element or text
    std::string m_error;
    bool m_overBound = false;
};

// Test seam: while on, the readers behave as if expat could not make a parser.
void simulateXmlParserFailure(bool on);
