#pragma once
// The records that pass between the pages and the store: what one request
// asks to write, and the rows a query gives back. Plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The daemon a request comes from, as it reports itself (svr_ip, svr_port):
// the rooms it loads are held by it. Port 0 when the request does not say,
// which leaves rooms where they are.
struct daemon_address_t {
    std::string ip;
    uint32_t port = 0;

    bool known() const { return port != 0; }
    bool operator==(const daemon_address_t&) const = default;
};

// One member of a room as the save page lists it. Entries that the daemon's
// bounded lists left out carry no name, join sequence or read flag.
struct recipient_t {
    std::string userId;
    std::optional<std::string> name;
    std::optional<int64_t> joinSeq;
    std::optional<std::string> readYn;  // "y" or "n"
};

struct saved_message_t {
    uint32_t roomId = 0;
    std::string tenantId;  // of the sender
    uint32_t msgSeq = 0;
    uint32_t msgType = 1;
    uint32_t msgTime = 0;
    std::string senderId;
    std::string senderName;
    uint32_t senderOsType = 0;
    std::string text;  // exactly the bytes sent, zero bytes included
    std::string fileName;
    uint32_t fileSize = 0;
    std::string fileUrl;
    uint32_t trid = 0;
    uint32_t memberCount = 0;
    uint32_t roomType = 1;
    std::vector<recipient_t> recipients;
    daemon_address_t daemon;  // takes the room when no daemon holds it
};

struct delivery_t {
    std::string userId;
    std::optional<int64_t> joinSeq;
};

struct send_state_t {
    uint32_t roomId = 0;
    std::string tenantId;
    uint32_t msgSeq = 0;
    bool delivered = true;
    std::vector<delivery_t> users;
};

struct leave_t {
    uint32_t roomId = 0;
    std::string userId;  // the room's tenant is this id's tenant
    uint32_t time = 0;
    int32_t joinSeq = 0;
    bool wholeHistory = false;
};

// One row of the not-ended room list and of the room reload page.
struct room_row_t {
    uint32_t roomId = 0;
    std::string tenantId;
    std::string userId;
    std::string nameInfo;
    uint32_t joinSeq = 0;
    uint32_t maxMsgSeq = 0;
    bool left = false;
    uint32_t leftAt = 0;
    uint32_t lastActivity = 0;
    uint32_t memberCount = 0;
    uint32_t maxJoinSeq = 0;
};

struct fail_row_t {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;
    uint32_t trid = 0;
    std::string userId;
};

struct push_request_t {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;
    uint32_t msgType = 1;
    uint32_t time = 0;
    std::string senderId;
    std::string senderName;
    std::string preview;  // encrypted by the daemon; stored as received
    std::string conn;
    uint32_t memberCount = 0;
    std::vector<std::string> recipients;
};

struct push_result_t {
    std::string userId;
    uint16_t code = 0;
    std::string text;
};

struct invite_t {
    std::string fromId;
    std::string toId;
    std::string targetIds;
    std::string contents;
};

// Which daemon serves a room: holder.known() is false while no daemon does.
struct room_directory_t {
    uint32_t roomId = 0;
    std::string tenantId;
    daemon_address_t holder;
};
