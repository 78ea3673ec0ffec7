#include "tolvex/chat/MobilePush.h"

#include "tolvex/room/RoomManager.h"
#include "tolvex/util/ChatCodes.h"

void MobilePush::resetPushCount(uint32_t roomId, const std::string& userId, uint16_t osType) {
    if (osType == OS_TYPE_MOBILE) RoomManager::getInst().resetPushAlarmCount(roomId, userId);
}
