#pragma once
// The WAS job that sends a journaled request again, exactly as it was first
// built (page and form from the journal). Its answer settles the record
// like the original job's would. Owns itself: made with new by
// JournalReplay and started with doit(); done() deletes it. Event-loop thread.

#include <cstdint>

#include "tolvex/chat/JobHandler.h"

class QuillonJournalHandler : public JobHandler {
public:
    QuillonJournalHandler(uint64_t id, uint32_t roomId, int attempts);

protected:
    ~QuillonJournalHandler() override;
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char*, int) override {}
};
