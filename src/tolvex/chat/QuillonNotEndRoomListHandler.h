#pragma once
// The WAS job that loads one page of the rooms that have not ended (page
// was_not_endroom) into the room and session registries, and says whether
// to ask for the next page or that loading is complete. Rows are stored as
// the reply arrives; a page whose job fails (no reply, a refusal, a reply
// that breaks off, a bound passed) is logged and moves nothing on, so it is
// asked for again. Owns itself: made
// with new by RoomInitTask::callRoomInfo() with a RoomInitial companion,
// which done() releases. Event-loop thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/RoomRowsJob.h"

class QuillonNotEndRoomListHandler : public RoomRowsJob {
public:
    // nextPageWanted (may be empty) hears when a page was stored and the
    // next one is wanted, so the loader need not wait for its next look.
    explicit QuillonNotEndRoomListHandler(std::function<void()> nextPageWanted = {})
        : m_nextPageWanted(std::move(nextPageWanted)) {}

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
    void applyRow(const RoomNotEnd& row) override;
    void rowsEnd() override;
    void done(uint16_t rescode) override;

private:
    // Moves the paging flags on once the page is stored.
    void finishPage();

    std::function<void()> m_nextPageWanted;
    std::string m_loadSetting;   // room_load_mode as it was when the job started
    uint32_t m_startId = 0;      // the page's start_roomid
    uint32_t m_lastId = 0;       // the highest room id stored from the page
    size_t m_stored = 0;         // rows stored
};
