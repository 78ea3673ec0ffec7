#pragma once
// The process-wide registries of relay ACKs still expected and of result
// notices not yet acknowledged, by room (room id and tenant) and message. A
// singleton that owns its rooms. Any thread: relay ACKs come from the event
// loop, notices from the send-state work, the sweeps from AckTask.
// Lock order: ackMutex, then an AckRoom's own lock. resultAckMutex is
// separate and never held together with either.

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tolvex/ack/AckRoom.h"
#include "tolvex/ack/ResultAckRoom.h"
#include "tolvex/ack/SendMsgDetail.h"
#include "tolvex/util/ChatTypes.h"

class AckManager {
public:
    static AckManager& getInstance();

    AckManager(const AckManager&) = delete;
    AckManager& operator=(const AckManager&) = delete;
    virtual ~AckManager() = default;

    // Registers the members a relayed message reached. The sender's own
    // entry is dropped first; a message left with nobody registers nothing.
    void ackExpect(std::unique_ptr<SendMsgDetail> detail);

    // A copy of the message's entry, or nothing once it is cleared.
    std::optional<SendMsgDetail> getSendMsgDetail(uint32_t roomId, const std::string& userId, uint32_t msgNum);
    uint32_t getExpectAckCount(uint32_t roomId, const std::string& userId, uint32_t msgNum);
    // One relay ACK of userId (the tenant's room): see AckRoom::matchAck.
    ack_match_t matchAck(uint32_t roomId, const std::string& userId, uint32_t msgNum, uint16_t osType,
                         bool clearAll);

    void clearAckExpectUser(uint32_t roomId, const std::string& userId, uint32_t msgNum);
    void clearAckExpectUser(uint32_t roomId, const std::string& userId, uint32_t msgNum, uint16_t osType);
    void clearAckExpectMsg(uint32_t roomId, const std::string& userId, uint32_t msgNum);
    // Forgets the room and everything it awaited, without outcomes.
    void clearAckExpectRoom(uint32_t roomId, const std::string& tenantId);

    // Takes out every message at least timeoutSec old at now, in room-key
    // and then message-number order. Nothing else can reach them afterwards.
    // Costs in proportion to the messages registered since the last call
    // that came due, not to the rooms.
    std::vector<std::unique_ptr<SendMsgDetail>> getTimeoutList(int timeoutSec, time_t now);

    // Find or create / find only.
    std::shared_ptr<AckRoom> getAckRoom(uint32_t roomId, const std::string& userId);
    std::shared_ptr<AckRoom> searchAckRoom(uint32_t roomId, const std::string& userId);
    // Messages still awaited over all rooms (tests, diagnostics).
    size_t pendingMessageCount();
    // Registers one result of a pushed notice under its result sequence
    // number, in the room of userId's tenant; the first result of a number
    // stays.
    void addResultAckInfo(uint32_t roomId, const std::string& userId, uint32_t msgNum, uint32_t resultAckNum,
                          const send_result& result);
    // A copy of the stored result, now erased; all zero when there is none.
    send_result clearResultAckInfo(uint32_t roomId, const std::string& userId, uint32_t msgNum,
                                   uint32_t resultAckNum);
    // Forgets, with a log line each, the notices pushed at least timeoutSec
    // before now (a negative timeout counts as 0); rooms and messages left
    // empty go too.
    void clearTimeoutResultAckInfo(int timeoutSec, uint32_t now);
    // The number of unanswered notices of the room, or nothing when the room
    // is not registered (an emptied room stays until the next sweep).
    std::optional<size_t> searchSendResultAckRoom(uint32_t roomId, const std::string& userId);

    // Drops everything without outcomes (tests).
    void clearAll();

private:
    AckManager() = default;
    // Find or create; m_ackMutex held.
    std::shared_ptr<AckRoom>& ackRoomLocked(const room_ref& ref);

    std::mutex m_ackMutex;  // taken before any AckRoom's lock
    // Rooms are shared so a caller that looked one up may finish with it
    // after clearAckExpectRoom dropped it. Not removed when empty.
    std::map<room_key, std::shared_ptr<AckRoom>, room_order> m_ackExpectList;  // guarded by m_ackMutex
    // (message time, room) of each registered message, filed with it, so
    // the timeout scan visits only rooms with a message come due. An entry
    // whose message was acknowledged stays until its time comes.
    std::set<std::pair<time_t, room_key>> m_timeIndex;  // guarded by m_ackMutex

    std::mutex m_resultAckMutex;  // never held with m_ackMutex or a room's lock
    std::map<room_key, ResultAckRoom, room_order> m_resultAckList;  // guarded by m_resultAckMutex, rooms and all
};
