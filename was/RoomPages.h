#pragma once
// The room pages: leave, end room, the not-ended room list the daemon pages
// through at start-up, the reload of one room, and the room directory that
// tells clients which daemon serves a room. Owned by WasServer; each
// call turns one form body into one whole reply body. Any thread: the store
// serialises its own access.

#include <cstdint>
#include <string>
#include <string_view>

#include "was/WasReply.h"

class WasStore;

class RoomPages {
public:
    // roomsPerPage bounds a not-ended list page in any load mode but "all".
    RoomPages(WasStore& store, uint32_t roomsPerPage)
        : m_store(store), m_roomsPerPage(roomsPerPage) {}
    RoomPages(const RoomPages&) = delete;
    RoomPages& operator=(const RoomPages&) = delete;

    std::string leave(std::string_view body);
    std::string endRoom(std::string_view body);
    ReplyBlocks notEndedRooms(std::string_view body);
    std::string loadRoom(std::string_view body);
    std::string directory(std::string_view body);

private:
    WasStore& m_store;
    uint32_t m_roomsPerPage;
};
