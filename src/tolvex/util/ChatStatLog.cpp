// The chat log's statistics lines. Kept apart from ChatUtil.cpp because
// they write through the daemon's globals, which the pure helpers (and
// their tests) do without.

#include "tolvex/util/Globals.h"
#include "tolvex/util/ChatUtil.h"

namespace ChatUtil {

void receiveLogging(uint32_t roomId, int msgNum, std::string_view eventName, std::string_view userId,
                    uint16_t osType, std::string_view opt) {
    g_FormatLogger.log_pi_text(formatReceiveLine(roomId, msgNum, eventName, userId, osType, opt));
}

void sendLogging(uint32_t roomId, int msgNum, std::string_view eventName, std::string_view userId,
                 uint16_t osType, int sendResultCode, std::string_view opt) {
    g_FormatLogger.log_pi_text(formatSendLine(roomId, msgNum, eventName, userId, osType, sendResultCode, opt));
}

void roomEndLogging(uint32_t roomId, std::string_view reason) {
    g_FormatLogger.log_pi_text(formatRoomEndLine(roomId, reason));
}

}  // namespace ChatUtil
