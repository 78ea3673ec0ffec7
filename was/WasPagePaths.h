#pragma once
// The paths of the WAS pages. The defaults equal the daemon's shipped
// configuration; each can be changed by its daemon configuration key.

#include <string>
#include <string_view>

struct was_page_paths_t {
    std::string saveMsg = "/was/saveMessage";
    std::string mobilePush = "/was/mobilePush";
    std::string leave = "/was/leave";
    std::string endRoom = "/was/endRoom";
    std::string notEndRoom = "/was/notEndRoomList";
    std::string loadRoom = "/was/loadRoom";
    std::string updateMsgSend = "/was/updateMsgSend";
    std::string inviteRequest = "/was/inviteRequest";
    std::string sendFailUser = "/was/sendFailUser";
    // Not a daemon page: registers users that have no device for pushes.
    std::string noDevice = "/was/noDevice";
    // Not a daemon page: which daemon serves a room, for clients.
    std::string roomDirectory = "/was/roomDirectory";

    // The path set by a daemon key such as "was_save_msg" (and "was_no_device"
    // and "was_room_directory" for ours), or null for any other key.
    std::string* byKey(std::string_view key);
};
