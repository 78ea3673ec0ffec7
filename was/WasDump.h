#pragma once
// The operator's view of a WAS database: rooms with their members and
// messages, each message with its recipients' delivery states, then the push
// and invite outboxes. DumpText writes the lines, the same for either
// engine, from rows its reader hands on in that order; dumpDatabase is the
// reader of an SQLite file (the caller serialises access to db). One
// caller's thread.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

class SqliteDb;

// The rows as stored; a time or value that may be missing is optional.
struct dump_room_t {
    int64_t roomId = 0;
    std::string tenantId;
    int64_t roomType = 0;
    int64_t maxMsgSeq = 0;
    std::optional<int64_t> lastActivity;
    bool ended = false;
    std::optional<int64_t> endedAt;
};

struct dump_member_t {
    std::string userId;
    std::string name;
    int64_t joinSeq = 0;
    bool left = false;
    std::optional<int64_t> leftAt;
    bool leftAllHistory = false;
};

struct dump_message_t {
    int64_t msgSeq = 0;
    int64_t msgType = 0;
    std::optional<int64_t> msgTime;
    std::string senderId;
    std::string senderName;
    int64_t osType = 0;
    int64_t trid = 0;
    std::string body;
    std::string fileName;
    int64_t fileSize = 0;
    std::string fileUrl;
};

struct dump_recipient_t {
    std::string userId;
    std::optional<int64_t> joinSeq;
    std::optional<std::string> readYn;
    bool delivered = false;
};

struct dump_push_t {
    int64_t id = 0;
    int64_t roomId = 0;
    int64_t msgSeq = 0;
    std::string recipient;
    std::string senderId;
    std::string preview;
    std::string conn;
    std::optional<int64_t> recordedAt;
};

struct dump_invite_t {
    int64_t id = 0;
    std::string fromId;
    std::string toId;
    std::string targetIds;
    std::string contents;
    std::optional<int64_t> recordedAt;
};

// Writes one line (a message with an attachment: two) per row. Rows come
// as the dump lists them: each room, then its members, then its messages,
// each followed by its recipients; then pushes, invites and no-device users.
class DumpText {
public:
    explicit DumpText(std::ostream& out) : m_out(out) {}
    DumpText(const DumpText&) = delete;
    DumpText& operator=(const DumpText&) = delete;

    void room(const dump_room_t& room);
    void member(const dump_member_t& member);
    void message(const dump_message_t& message);
    void recipient(const dump_recipient_t& recipient);
    void push(const dump_push_t& push);
    void invite(const dump_invite_t& invite);
    void noDevice(std::string_view userId);

private:
    std::ostream& m_out;
};

void dumpDatabase(SqliteDb& db, std::ostream& out);
