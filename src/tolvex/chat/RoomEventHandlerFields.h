#pragma once
// Shared by the room command handlers: the field readers (every length a
// client sends is checked against its limit before any byte is copied) and
// the registries they use. The readers run on any thread, the rest on the
// event-loop thread.

#include <cstdint>
#include <string>
#include <utility>

#include "p2p/Parser2.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"

namespace roomfields {

enum class field_t { READ, MISSING, TOO_LONG };

// A u16 length, checked against limit (an over-long one is logged as HACK
// with tag), then the bytes. A field the body does not hold leaves out
// untouched.
inline field_t readString(Parser2& p, uint32_t limit, const char* tag, std::string* out) {
    uint16_t len = 0;
    if (p.mem(&len, sizeof len) != 0) return field_t::MISSING;
    if (CommonHandler::checkHacking(limit, len, tag)) return field_t::TOO_LONG;
    std::string bytes(len, '\0');
    if (p.mem(bytes.data(), len) != 0) return field_t::MISSING;
    *out = std::move(bytes);
    return field_t::READ;
}

inline RoomManager& rooms() {
    return RoomManager::getInst();
}

inline SessionContainer& container() {
    return SessionContainer::getInstance();
}

// Closes a requester after a refused request; the container forgets it.
}  // namespace roomfields
