#pragma once
// The WAS job that asks for mobile push notifications (page
// was_mobile_push), in its stand-in form: it logs the request it would send;
// the push replies, and the relay ACKs they stand for, come with the HTTP
// side. Owns itself: made with new by MobilePush, deleted by doit().
// Event-loop thread.

#include "tolvex/chat/JobHandler.h"

class QuillonNPushHandler : public JobHandler {
public:
    QuillonNPushHandler() = default;

protected:
    ~QuillonNPushHandler() override = default;
    const char* jobName() const override { return "QuillonNPushHandler"; }
    std::string describeInput(const P2PPacket* pk) const override;
    bool releasesCompanion() const override { return true; }
};
