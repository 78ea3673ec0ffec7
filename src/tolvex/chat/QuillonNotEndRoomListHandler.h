#pragma once
// The WAS job that loads one page of the rooms that have not ended (page
// was_not_endroom) into the room and session registries, and says whether
// to ask for the next page or that loading is complete. Owns itself: made
// with new by RoomInitTask::callRoomInfo() with a RoomInitial companion,
// which done() releases. Event-loop thread.

#include <cstdint>
#include <string>
#include <vector>

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/WasXmlReader.h"

class QuillonNotEndRoomListHandler : public JobHandler {
public:
    QuillonNotEndRoomListHandler() = default;

    // companion: the RoomInitial this job releases; pk: none.
    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

    // The load mode the WAS is asked for: the setting, except that an empty
    // setting or "s" asks for everything ("all").
    static std::string requestLoadMode(const std::string& setting);
    // Adds the member of row to its room (which must exist) in joinState,
    // with the room's counters raised to the row's. Shared with room reload.
    static void addLoadedMember(const RoomNotEnd& row, uint32_t joinState);

protected:
    ~QuillonNotEndRoomListHandler() override = default;

    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char* body, int blen) override;
    void done(uint16_t rescode) override;

private:
    // Stores every row read and moves the paging flags on.
    void applyRows(const std::vector<RoomNotEnd>& rows);

    std::string m_loadSetting;   // room_load_mode as it was when the job started
};
