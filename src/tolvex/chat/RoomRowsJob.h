#pragma once
// Base of the WAS jobs whose reply is a room list (the not-ended rooms at
// start, one room on a reload): the rows are read as the reply arrives and
// each is handed to the subclass at once, so a list of any length loads
// with the memory of one row. Event-loop thread, like every job.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/WasXmlReader.h"

class RoomRowsJob : public JobHandler {
protected:
    RoomRowsJob();
    ~RoomRowsJob() override;

    // One row, in reply order.
    virtual void applyRow(const RoomNotEnd& row) = 0;
    // After the last row: the reply is complete, or reading stopped.
    virtual void rowsEnd() {}

    bool streamsReply() const override { return true; }
    bool payloadBytes(const char* data, int len) override;
    void payloadEnd() override;
    void processP2PPacket(const char* body, int blen) override;

    const RoomRowReader& reader() const { return m_reader; }
    // The start of the payload for the log: whole when short, else cut with
    // its size and row count.
    std::string payloadForLog() const;
    // Why the job's reply could not be used as a whole: its result code and
    // text, or what stopped the reading; empty when it could.
    std::string failure(uint16_t rescode) const;

private:
    static constexpr size_t kLogHeadBytes = 1024;

    RoomRowReader m_reader;
    std::string m_head;       // the first kLogHeadBytes of the payload
    size_t m_payloadBytes = 0;
    bool m_ended = false;
};
