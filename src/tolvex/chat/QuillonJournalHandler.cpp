#include "tolvex/chat/QuillonJournalHandler.h"

#include "net/URLEncode.h"
#include "tolvex/chat/JournalReplay.h"

QuillonJournalHandler::QuillonJournalHandler(uint64_t id, uint32_t roomId, int attempts) {
    m_journalId = id;
    m_journalRoom = roomId;
    m_journalAttempts = attempts;
}

QuillonJournalHandler::~QuillonJournalHandler() {
    JournalReplay& replay = JournalReplay::getInst();
    --replay.m_inFlight;
    replay.m_roomsInFlight.erase(m_journalRoom);
}

int QuillonJournalHandler::getWASInfo(const P2PPacket*, std::string* page, URLEncode* form) {
    JobJournal* journal = JournalReplay::getInst().journal();
    JobJournal::record_t record;
    if (!journal || !journal->read(m_journalId, &record)) return -1;
    *page = record.page;
    form->assign(record.form);
    return 0;
}
