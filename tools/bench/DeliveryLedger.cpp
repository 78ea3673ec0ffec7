#include "bench/DeliveryLedger.h"

#include <algorithm>

namespace bench {

DeliveryLedger::DeliveryLedger(const std::vector<room_plan_t>& rooms) {
    for (const room_plan_t& room : rooms) {
        m_roomSizes.push_back(room.members.size());
        auto& index = m_memberIndex.emplace_back();
        for (size_t m = 0; m < room.members.size(); ++m) index.emplace(room.members[m].userId, m);
        m_acceptedFrom.emplace_back(room.members.size(), 0);
        m_deliveredTo.emplace_back(room.members.size(), 0);
    }
    m_acceptedInRoom.assign(rooms.size(), 0);
    m_departed.resize(rooms.size());
}

DeliveryLedger::track_t& DeliveryLedger::entry(size_t room, uint32_t msgNum) {
    auto [it, fresh] = m_tracks.try_emplace(key(room, msgNum));
    if (fresh) {
        it->second.relayed.assign(m_roomSizes[room], false);
        it->second.reported.assign(m_roomSizes[room], false);
    }
    return it->second;
}

bool DeliveryLedger::done(size_t room, const track_t& t) const {
    if (t.sender == SIZE_MAX || t.reportCount != others(room)) return false;
    size_t settled = t.relayCount;
    for (size_t gone : m_departed[room]) settled += gone != t.sender && !t.relayed[gone] ? 1 : 0;
    return settled == others(room);
}

void DeliveryLedger::retireIfDone(size_t room, uint32_t msgNum, const track_t& t) {
    if (done(room, t)) m_tracks.erase(key(room, msgNum));
}

void DeliveryLedger::accepted(size_t room, uint32_t msgNum, size_t sender) {
    if (room >= m_roomSizes.size() || sender >= m_roomSizes[room]) return;
    track_t& t = entry(room, msgNum);
    if (t.sender != SIZE_MAX) return;  // one MSG_ACK per message; a second one is the caller's to count
    t.sender = sender;
    // Whatever reached the sender itself before its ACK was never owed.
    if (t.relayed[sender]) {
        t.relayed[sender] = false;
        --t.relayCount;
    }
    if (t.reported[sender]) {
        t.reported[sender] = false;
        --t.reportCount;
    }
    ++m_accepted;
    ++m_acceptedInRoom[room];
    ++m_acceptedFrom[room][sender];
    m_expectedRelays += others(room);
    m_deliveredRelays += t.relayCount;
    for (size_t m = 0; m < t.relayed.size(); ++m) m_deliveredTo[room][m] += t.relayed[m] ? 1 : 0;
    if (t.reportCount == others(room)) ++m_completeReports;
    retireIfDone(room, msgNum, t);
}

DeliveryLedger::Mark DeliveryLedger::markSeen(std::vector<bool>& seen, size_t member, uint64_t* duplicates) {
    if (seen[member]) {
        ++*duplicates;
        return Mark::kDuplicate;
    }
    seen[member] = true;
    return Mark::kFirst;
}

DeliveryLedger::Mark DeliveryLedger::relayed(size_t room, uint32_t msgNum, size_t member) {
    if (room >= m_roomSizes.size() || member >= m_roomSizes[room]) return Mark::kStranger;
    track_t& t = entry(room, msgNum);
    if (member == t.sender) return Mark::kStranger;
    if (markSeen(t.relayed, member, &m_duplicateRelays) == Mark::kDuplicate) return Mark::kDuplicate;
    ++t.relayCount;
    if (t.sender != SIZE_MAX) {
        ++m_deliveredRelays;
        ++m_deliveredTo[room][member];
    }
    retireIfDone(room, msgNum, t);
    return Mark::kFirst;
}

DeliveryLedger::Mark DeliveryLedger::reported(size_t room, uint32_t msgNum, const std::string& userId) {
    if (room >= m_roomSizes.size()) return Mark::kStranger;
    const auto found = m_memberIndex[room].find(userId);
    if (found == m_memberIndex[room].end()) return Mark::kStranger;
    const size_t member = found->second;
    track_t& t = entry(room, msgNum);
    if (member == t.sender) return Mark::kStranger;
    if (markSeen(t.reported, member, &m_duplicateReports) == Mark::kDuplicate) return Mark::kDuplicate;
    ++t.reportCount;
    if (t.sender != SIZE_MAX && t.reportCount == others(room)) ++m_completeReports;
    retireIfDone(room, msgNum, t);
    return Mark::kFirst;
}

void DeliveryLedger::departed(size_t room, size_t member) {
    if (room >= m_roomSizes.size() || member >= m_roomSizes[room]) return;
    std::vector<size_t>& gone = m_departed[room];
    if (std::find(gone.begin(), gone.end(), member) != gone.end()) return;
    gone.push_back(member);
    m_departures.emplace_back(room, member);
    // Messages that only waited for this member's relay are through.
    std::erase_if(m_tracks, [&](const auto& entry) { return roomOf(entry.first) == room && done(room, entry.second); });
}

uint64_t DeliveryLedger::departedRelays() const {
    uint64_t n = 0;
    for (const auto& [r, gone] : m_departures)
        n += m_acceptedInRoom[r] - m_acceptedFrom[r][gone] - m_deliveredTo[r][gone];
    return n;
}

double DeliveryLedger::reportedShare() const {
    if (m_accepted == 0) return 1;
    return static_cast<double>(m_completeReports) / static_cast<double>(m_accepted);
}

uint64_t DeliveryLedger::orphanRelays() const {
    uint64_t n = 0;
    for (const auto& [k, t] : m_tracks)
        if (t.sender == SIZE_MAX) n += t.relayCount;
    return n;
}

uint64_t DeliveryLedger::orphanReports() const {
    uint64_t n = 0;
    for (const auto& [k, t] : m_tracks)
        if (t.sender == SIZE_MAX) n += t.reportCount;
    return n;
}

}  // namespace bench
