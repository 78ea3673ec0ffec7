#include "tolvex/chat/QuillonRequestInviteHandler.h"

#include "tolvex/chat/MsgText.h"

std::string QuillonRequestInviteHandler::describeInput(const P2PPacket* pk) const {
    JobInput in(pk);
    const std::string fromId = in.str16(255);
    const std::string toId = in.str16(255);
    const std::string contents = in.str16(8191);
    return "from_id=" + logText(fromId) + " to_id=" + logText(toId) + " target_ids=" + logText(toId) +
           " contents=" + logText(contents);
}
