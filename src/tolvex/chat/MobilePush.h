#pragma once
// Mobile push bookkeeping of a room's members. For now only the reset on a
// mobile join; the push requests arrive with the message handlers.
// Stateless (the counts live in the rooms); event-loop thread.

#include <cstdint>
#include <string>

class MobilePush {
public:
    // A member who joins from a mobile may be pushed again up to the limit.
    static void resetPushCount(uint32_t roomId, const std::string& userId, uint16_t osType);
};
