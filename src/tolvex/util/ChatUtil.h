#pragma once
// Small helpers shared by the chat layers: names of codes and device kinds,
// the chat log's statistics lines, tenant and key derivation, time. All
// stateless; any thread (the logs serialise their own writes).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tolvex/util/ChatTypes.h"

namespace ChatUtil {

// Fixed texts of the statistics lines.
inline constexpr char SEND_SUCC[] = "SUCC";
inline constexpr char SEND_FAIL[] = "FAIL";
inline constexpr char OS_TEXT_PC[] = "PC";
inline constexpr char OS_TEXT_MOBILE[] = "MOBILE";
inline constexpr char OS_TEXT_NONE[] = "NONE";
inline constexpr char OS_TEXT_SUPPORT_NPUSH[] = "NPUSH";

// The name of a message-flow code; any other code as its decimal text.
std::string getEventName(uint16_t code);
// "PC", "MOBILE", "NPUSH", or "NONE" for anything else.
const char* getOsTypeDesc(uint16_t osType);
// "SUCC" for 0, "FAIL" for anything else.
const char* getSendResultDesc(int resultCode);

// The statistics lines of the chat log, without the log's time prefix. A
// message number of 0 is printed as -1.
std::string formatReceiveLine(uint32_t roomId, int msgNum, std::string_view eventName,
                              std::string_view userId, uint16_t osType, std::string_view opt);
std::string formatSendLine(uint32_t roomId, int msgNum, std::string_view eventName,
                           std::string_view userId, uint16_t osType, int sendResultCode,
                           std::string_view opt);
std::string formatRoomEndLine(uint32_t roomId, std::string_view reason);

// The same lines written to the chat log (g_FormatLogger). These need the
// daemon's globals, so they live apart from the pure helpers.
void receiveLogging(uint32_t roomId, int msgNum, std::string_view eventName, std::string_view userId,
                    uint16_t osType, std::string_view opt);
void sendLogging(uint32_t roomId, int msgNum, std::string_view eventName, std::string_view userId,
                 uint16_t osType, int sendResultCode, std::string_view opt);
void roomEndLogging(uint32_t roomId, std::string_view reason);

// The tenant of a user id: what follows the first "." after the first "@"
// (the whole id when there is no such "."); an id without "@" is its own
// tenant.
std::string getTenantId(std::string_view userId);
// The same, as a view into userId.
std::string_view tenantOf(std::string_view userId);
// Keys for the tenant of userId; tenants longer than MAX_ID_LEN bytes are cut.
// The room_ref views userId and is valid while it is.
room_ref roomRefOf(uint32_t roomId, std::string_view userId);
room_key makeRoomKey(uint32_t roomId, std::string_view userId);
msg_key makeMsgKey(uint32_t roomId, uint32_t msgSeq, std::string_view userId);

// Seconds since the epoch.
uint32_t getUTCTimeSecond();
// True for MSG_TALK, MSG_STICKER_CODE and MSG_ATTACH.
bool isTypeOfConversation(uint8_t msgType);

// Decimal text of i. The array form writes into buffer (which must hold
// the longest int) and returns it.
std::string itoa(int i);
char* itoa(char* buffer, std::size_t size, int i);
template <std::size_t N>
char* itoa(char (&buffer)[N], int i) {
    static_assert(N >= 12, "an int needs up to 11 characters and the terminator");
    return itoa(buffer, N, i);
}

// Idle time-out text "D:H:M" in minutes; any other form means seven days.
constexpr int kDefaultTimeoutMinutes = 10080;
int convertToMinute(std::string_view text);

}  // namespace ChatUtil
