#pragma once
// The WAS job that stores a message or room event (page was_save_msg), one
// attempt, reply ignored. Owns itself: made with new by
// CommonHandler::saveData and started with doit(); done() deletes it.
// Event-loop thread.

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"

class QuillonSaveMsgHandler : public JobHandler {
public:
    QuillonSaveMsgHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonSaveMsgHandler() override = default;
    bool journaled() const override { return true; }
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char*, int) override {}

private:
};
