#pragma once
// The rooms by the time each is next to be looked at for the idle check: a
// binary min-heap of pointers in which every room keeps its own slot, so
// filing a room anew or dropping it costs a logarithm and no allocation.
// Owned by RoomManager and used only under its lock; it owns no room.

#include <cstddef>
#include <cstdint>
#include <vector>

class Room;

class RoomIdleHeap {
public:
    void add(Room& room, uint32_t when);
    void remove(Room& room);
    // Moves a filed room to when.
    void refile(Room& room, uint32_t when);
    // Files every room at when.
    void refileAll(uint32_t when);
    static uint32_t timeOf(const Room& room);
    // The room to be looked at first; null when there is none.
    Room* top() const { return m_heap.empty() ? nullptr : m_heap.front(); }
    size_t size() const { return m_heap.size(); }
    void clear() { m_heap.clear(); }

private:
    void place(size_t slot, Room* room);
    void siftUp(size_t slot);
    void siftDown(size_t slot);

    std::vector<Room*> m_heap;
};
