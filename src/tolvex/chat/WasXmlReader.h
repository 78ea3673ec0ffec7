#pragma once
// Readers of the XML rows that some WAS pages return after the reply header.
// Attributes are taken by position, as the WAS sends them. Free functions
// that fill the caller's list; any thread, though the jobs call them on the
// event-loop thread.

#include <cstdint>
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
// The not-ended list is parsed as a whole document.
int parseNotEndRoom(const char* text, int len, std::vector<RoomNotEnd>* out);
// These two accept an unclosed document.
int parsePushResult(const char* text, int len, std::vector<npush_result>* out);
int parseSendFailUserList(const char* text, int len, std::vector<sendfail_user>* out);

// Test seam: while on, the readers behave as if expat could not make a parser.
void simulateXmlParserFailure(bool on);
