#pragma once
// Per-message delivery accounting of one run: which members a message was
// relayed to, and which of them the sender's MSG_RESULT notices listed.
// Relays and notices may come before the sender's MSG_ACK and in any order;
// a message counts once it is acknowledged. Entries of fully accounted
// messages are dropped, so memory follows what is in flight, not the run's
// length. A value owned by the load runner; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bench/BenchRoster.h"

namespace bench {

class DeliveryLedger {
public:
    enum class Mark {
        kFirst,      // counted
        kDuplicate,  // this member was already relayed to / reported for this message
        kStranger,   // not another member of the room: the sender itself or an unknown user
    };

    explicit DeliveryLedger(const std::vector<room_plan_t>& rooms);
    DeliveryLedger(const DeliveryLedger&) = delete;
    DeliveryLedger& operator=(const DeliveryLedger&) = delete;

    // room and member index the roster given to the constructor; out of range is a stranger.
    void accepted(size_t room, uint32_t msgNum, size_t sender);
    Mark relayed(size_t room, uint32_t msgNum, size_t member);
    Mark reported(size_t room, uint32_t msgNum, const std::string& userId);
    // The member's connection is gone for good (a stalled receiver the
    // daemon closed): relays still owed to it, now or by later messages,
    // cannot arrive. They count in departedRelays(), not as lost.
    void departed(size_t room, size_t member);

    uint64_t acceptedMessages() const { return m_accepted; }
    // One relay per other member of the room, per accepted message.
    uint64_t expectedRelays() const { return m_expectedRelays; }
    // Distinct (message, member) relays of accepted messages.
    uint64_t deliveredRelays() const { return m_deliveredRelays; }
    // Owed relays that never arrived, not counting those owed to departed members.
    uint64_t lostRelays() const { return m_expectedRelays - m_deliveredRelays - departedRelays(); }
    // Relays of accepted messages owed to departed members that never reached them.
    uint64_t departedRelays() const;
    // Accepted messages whose notices listed every other member of the room.
    uint64_t completeReports() const { return m_completeReports; }
    // completeReports / acceptedMessages, 1 without messages.
    double reportedShare() const;
    uint64_t duplicateRelays() const { return m_duplicateRelays; }
    uint64_t duplicateReports() const { return m_duplicateReports; }
    // Relays and notice entries of messages that were never acknowledged (or
    // that arrived after their message was fully accounted for, which makes
    // them duplicates the ledger no longer recognises as such).
    uint64_t orphanRelays() const;
    uint64_t orphanReports() const;

private:
    struct track_t {
        size_t sender = SIZE_MAX;  // SIZE_MAX until accepted
        std::vector<bool> relayed;
        std::vector<bool> reported;
        size_t relayCount = 0;
        size_t reportCount = 0;
    };

    track_t& entry(size_t room, uint32_t msgNum);
    // Acknowledged, reported for every other member, and relayed to each of
    // them but the departed ones.
    bool done(size_t room, const track_t& t) const;
    // Sets seen[member]; a second time counts in *duplicates instead.
    static Mark markSeen(std::vector<bool>& seen, size_t member, uint64_t* duplicates);
    // Drops the entry once nothing more is owed for it.
    void retireIfDone(size_t room, uint32_t msgNum, const track_t& t);
    size_t others(size_t room) const { return m_roomSizes[room] - 1; }
    static uint64_t key(size_t room, uint32_t msgNum) { return static_cast<uint64_t>(room) << 32 | msgNum; }
    static size_t roomOf(uint64_t key) { return static_cast<size_t>(key >> 32); }

    std::vector<size_t> m_roomSizes;
    std::vector<std::unordered_map<std::string, size_t>> m_memberIndex;  // per room: user id -> member
    std::unordered_map<uint64_t, track_t> m_tracks;
    // Per room, what each member is owed and got, for the departed ones.
    std::vector<uint64_t> m_acceptedInRoom;
    std::vector<std::vector<uint64_t>> m_acceptedFrom;  // per sender
    std::vector<std::vector<uint64_t>> m_deliveredTo;   // distinct relays of accepted messages
    std::vector<std::vector<size_t>> m_departed;        // members, each once
    std::vector<std::pair<size_t, size_t>> m_departures;  // (room, member): the same, in one list

    uint64_t m_accepted = 0;
    uint64_t m_expectedRelays = 0;
    uint64_t m_deliveredRelays = 0;
    uint64_t m_completeReports = 0;
    uint64_t m_duplicateRelays = 0;
    uint64_t m_duplicateReports = 0;
};

}  // namespace bench
