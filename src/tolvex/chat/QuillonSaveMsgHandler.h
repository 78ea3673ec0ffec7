#pragma once
// The WAS job that stores a message or room event (page was_save_msg), in
// its stand-in form: it logs the request it would send. Owns itself: made
// with new by CommonHandler::saveData, deleted by doit(). Event-loop thread.

#include "tolvex/chat/JobHandler.h"

class QuillonSaveMsgHandler : public JobHandler {
public:
    QuillonSaveMsgHandler() = default;

protected:
    ~QuillonSaveMsgHandler() override = default;
    const char* jobName() const override { return "QuillonSaveMsgHandler"; }
    std::string describeInput(const P2PPacket* pk) const override;
};
