// The chat log's statistics lines. Kept apart from ChatUtil.cpp because
// they write through the daemon's globals, which the pure helpers (and
// their tests) do without.

#include "tolvex/Globals.h"
#include "tolvex/util/ChatUtil.h"

namespace ChatUtil {

void receiveLogging(uint32_t roomId, int msgNum, std::string_view eventName, std::string_view userId,
                    uint16_t osType, std::string_view opt) {
    g_FormatLogger.log_pi("%s", formatReceiveLine(roomId, msgNum, eventName, userId, osType, opt).c_str());
}

void sendLogging(uint32_t roomId, int msgNum, std::string_view eventName, std::string_view userId,
                 uint16_t osType, int sendResultCode, std::string_view opt) {
    g_FormatLogger.log_pi(
        "%s", formatSendLine(roomId, msgNum, eventName, userId, osType, sendResultCode, opt).c_str());
}

void roomEndLogging(uint32_t roomId, std::string_view reason) {
    g_FormatLogger.log_pi("%s", formatRoomEndLine(roomId, reason).c_str());
}

}  // namespace ChatUtil
