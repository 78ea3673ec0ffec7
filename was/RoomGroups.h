#pragma once
// Hands the rows of a room query on one room at a time, each with the
// room's member count and highest join sequence. Every member of a listed
// room is among its rows, left ones included as the daemon's room keeps
// them, so both come from the rows alone; a query per row would read each
// room again for every member. Rows come grouped by room (id and tenant);
// rows and their strings are reused from room to room. Either store's
// reader fills the rows; one caller's thread.

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "was/WasStore.h"

class RoomGroups {
public:
    explicit RoomGroups(const WasStore::RoomRowVisitor& visit) : m_visit(visit) {}
    RoomGroups(const RoomGroups&) = delete;
    RoomGroups& operator=(const RoomGroups&) = delete;

    // The row to fill for the next row read, whose room, tenant and join
    // sequence are given; the room before is handed on when this is another.
    // The caller fills every field but the two counted here.
    room_row_t& next(uint32_t roomId, std::string_view tenantId, int64_t joinSeq) {
        if (m_count > 0 && (roomId != m_rows[0].roomId || tenantId != m_rows[0].tenantId))
            handOn();
        if (m_count == m_rows.size()) m_rows.emplace_back();
        m_maxJoinSeq = m_count == 0 ? joinSeq : std::max(m_maxJoinSeq, joinSeq);
        room_row_t& row = m_rows[m_count++];
        row.roomId = roomId;
        row.tenantId.assign(tenantId);
        return row;
    }

    // Hands on the last room.
    void finish() { handOn(); }

private:
    void handOn() {
        for (size_t i = 0; i < m_count; ++i) {
            room_row_t& row = m_rows[i];
            row.memberCount = static_cast<uint32_t>(m_count);
            row.maxJoinSeq = static_cast<uint32_t>(m_maxJoinSeq);
            m_visit(row);
        }
        m_count = 0;
    }

    const WasStore::RoomRowVisitor& m_visit;
    std::vector<room_row_t> m_rows;  // m_rows[0, m_count) are the room's so far
    size_t m_count = 0;
    int64_t m_maxJoinSeq = 0;
};
