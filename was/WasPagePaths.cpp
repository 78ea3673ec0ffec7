#include "was/WasPagePaths.h"

std::string* was_page_paths_t::byKey(std::string_view key) {
    if (key == "was_save_msg") return &saveMsg;
    if (key == "was_mobile_push") return &mobilePush;
    if (key == "was_leave") return &leave;
    if (key == "was_endroom") return &endRoom;
    if (key == "was_not_endroom") return &notEndRoom;
    if (key == "was_load_room") return &loadRoom;
    if (key == "was_update_msgsend") return &updateMsgSend;
    if (key == "was_invite_request") return &inviteRequest;
    if (key == "was_sendfailuser_request") return &sendFailUser;
    if (key == "was_no_device") return &noDevice;
    if (key == "was_room_directory") return &roomDirectory;
    return nullptr;
}
