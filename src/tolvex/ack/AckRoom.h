#pragma once
// One room's messages still owed relay ACKs, by message number. Owned by
// AckManager (shared with callers that looked it up, so a room removed
// meanwhile stays valid until they let go). Any thread: every operation
// takes the room's own lock, which comes after AckManager's ackMutex.

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tolvex/ack/SendMsgDetail.h"

// The message fields an outcome needs, copied under the room's lock.
struct relay_msg_t {
    uint32_t roomId = 0;
    uint32_t msgNum = 0;
    uint32_t trid = 0;
    uint16_t fromOsType = 0;
    std::string fromUserId;
    time_t msgTime = 0;
    uint32_t msgType = 0;
};

relay_msg_t relayMsgOf(const SendMsgDetail& d);

// What one relay ACK found. remain is the number of OS types the member
// still owed before this ACK; 0 when the member was not listed.
struct ack_match_t {
    bool found = false;
    uint32_t remain = 0;
    relay_msg_t msg;
};

class AckRoom {
public:
    explicit AckRoom(uint32_t roomId) : m_roomId(roomId) {}
    AckRoom(const AckRoom&) = delete;
    AckRoom& operator=(const AckRoom&) = delete;
    ~AckRoom() = default;

    uint32_t getRoomId() const { return m_roomId; }

    // False (and detail dropped) when the number is registered already:
    // the first registration stays.
    bool ackExpect(std::unique_ptr<SendMsgDetail> detail);
    // Drops every message; no outcome.
    void clearAckExpect();
    void clearAckExpect(uint32_t msgNum);
    // Drops the member with all its OS types; the message goes with its
    // last member.
    void clearAckExpect(uint32_t msgNum, const std::string& userId);
    // Drops one OS type of the member.
    void clearAckExpect(uint32_t msgNum, const std::string& userId, uint16_t osType);
    uint32_t getRemainAckCount(uint32_t msgNum, const std::string& userId) const;
    std::optional<SendMsgDetail> getSendMsgDetail(uint32_t msgNum) const;
    size_t messageCount() const;

    // One relay ACK, atomically: reads what the member still owes, then
    // clears the member (clearAll) or only osType. Whatever the outcome
    // thread does meanwhile, each owed ACK is matched or timed out once.
    ack_match_t matchAck(uint32_t msgNum, const std::string& userId, uint16_t osType, bool clearAll);

    // Takes out, in number order, every message at least timeoutSec old at
    // now. The caller owns them: no relay ACK can reach them any more.
    std::vector<std::unique_ptr<SendMsgDetail>> takeTimeoutList(int timeoutSec, time_t now);

private:
    using DetailMap = std::map<uint32_t, std::unique_ptr<SendMsgDetail>>;
    // Erases the message when its last member is gone; infoMutex held.
    void eraseIfDone(DetailMap::iterator it);

    const uint32_t m_roomId;
    mutable std::mutex m_infoMutex;  // after AckManager's ackMutex; calls out of this class never hold it
    DetailMap m_msgDetailList;       // guarded by m_infoMutex
};
