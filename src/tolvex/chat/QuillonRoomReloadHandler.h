#pragma once
// The WAS job that loads a room a client asked for but the daemon does not
// hold (page was_load_room); for now it logs the request and loads nothing.
// Owns itself: made with new by the join handling, deleted by doit(), which
// also releases its dummy companion. Event-loop thread.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tolvex/chat/JobHandler.h"

class QuillonRoomReloadHandler : public JobHandler {
public:
    explicit QuillonRoomReloadHandler(std::string userId) : m_userId(std::move(userId)) {}

    // The job's input: room id, the tenant of userId, the current time.
    static std::vector<char> makeRoomReloadBody(uint32_t roomId, const std::string& userId);

protected:
    ~QuillonRoomReloadHandler() override = default;
    const char* jobName() const override { return "QuillonRoomReloadHandler"; }
    std::string describeInput(const P2PPacket* pk) const override;
    bool releasesCompanion() const override { return true; }

private:
    std::string m_userId;  // the joining user, for the log only
};
