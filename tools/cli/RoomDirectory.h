#pragma once
// Asks a tolvex-was which daemon serves a room (its room directory page),
// so the client connects where the room is held. A blocking request on the
// caller's thread; a free function, no state kept.

#include <cstdint>
#include <string>

namespace cli {

// The page path, as tolvex-was serves it unless configured otherwise.
inline constexpr const char* kRoomDirectoryPage = "/was/roomDirectory";

struct room_holder_t {
    enum class Kind {
        kHeld,      // daemonIp:daemonPort serves the room; daemonIp may be empty
        kNotHeld,   // stored, but no daemon holds it yet
        kNotFound,  // the WAS does not know the room
        kFailed,    // no usable answer; error says why
    };
    Kind kind = Kind::kFailed;
    std::string daemonIp;
    int daemonPort = 0;
    std::string error;
};

// With https, the WAS's certificate must name wasHost and chain to caFile
// (empty: the system store).
room_holder_t lookUpRoomHolder(const std::string& wasHost, int wasPort, uint32_t roomId, const std::string& tenantId,
                               double timeoutSec, bool https = false, const std::string& caFile = "");

// Reads the page's reply body: the binary result header, then the room's
// element. Exposed for tests of malformed replies.
room_holder_t readRoomHolder(const std::string& body);

// The tenant a room id belongs to for the daemon and the WAS: the user id's
// part after the first dot following '@', or the whole id without one.
std::string tenantOf(const std::string& userId);

}  // namespace cli
