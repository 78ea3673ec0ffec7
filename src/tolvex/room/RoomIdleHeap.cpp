#include "tolvex/room/RoomIdleHeap.h"

#include "tolvex/room/Room.h"

void RoomIdleHeap::add(Room& room, uint32_t when) {
    room.m_idleCheckTime = when;
    m_heap.push_back(&room);
    room.m_idleSlot = static_cast<uint32_t>(m_heap.size() - 1);
    siftUp(room.m_idleSlot);
}

void RoomIdleHeap::remove(Room& room) {
    const size_t slot = room.m_idleSlot;
    Room* last = m_heap.back();
    m_heap.pop_back();
    if (last == &room) return;
    place(slot, last);
    siftUp(slot);
    siftDown(last->m_idleSlot);
}

void RoomIdleHeap::refile(Room& room, uint32_t when) {
    room.m_idleCheckTime = when;
    siftUp(room.m_idleSlot);
    siftDown(room.m_idleSlot);
}

void RoomIdleHeap::refileAll(uint32_t when) {
    // All equal: any order is a heap.
    for (Room* room : m_heap) room->m_idleCheckTime = when;
}

uint32_t RoomIdleHeap::timeOf(const Room& room) {
    return room.m_idleCheckTime;
}

void RoomIdleHeap::place(size_t slot, Room* room) {
    m_heap[slot] = room;
    room->m_idleSlot = static_cast<uint32_t>(slot);
}

void RoomIdleHeap::siftUp(size_t slot) {
    Room* room = m_heap[slot];
    while (slot > 0) {
        const size_t parent = (slot - 1) / 2;
        if (m_heap[parent]->m_idleCheckTime <= room->m_idleCheckTime) break;
        place(slot, m_heap[parent]);
        slot = parent;
    }
    place(slot, room);
}

void RoomIdleHeap::siftDown(size_t slot) {
    Room* room = m_heap[slot];
    for (;;) {
        size_t child = 2 * slot + 1;
        if (child >= m_heap.size()) break;
        if (child + 1 < m_heap.size() && m_heap[child + 1]->m_idleCheckTime < m_heap[child]->m_idleCheckTime) ++child;
        if (room->m_idleCheckTime <= m_heap[child]->m_idleCheckTime) break;
        place(slot, m_heap[child]);
        slot = child;
    }
    place(slot, room);
}
