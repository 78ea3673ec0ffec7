#pragma once
// Base of the WAS jobs before the HTTP side exists: a job logs one command
// line naming itself and its input's key fields, releases a dummy companion
// and ends. A job owns itself: made with new, started once with doit(),
// which deletes it. Event-loop thread.

#include <cstdint>
#include <string>

#include "p2p/Parser2.h"

class ChatSession;
class P2PPacket;

// Reads a job's input body field by field. Once a field is missing every
// later one reads as 0 or empty, as the WAS jobs treat a short input.
class JobInput {
public:
    explicit JobInput(const P2PPacket* pk);

    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    // A u16-length string, cut to maxLen bytes (the whole field is consumed).
    std::string str16(size_t maxLen = 65535);

private:
    bool take(void* out, int len);

    Parser2 m_parser;
    bool m_ended = false;
};

class JobHandler {
public:
    JobHandler(const JobHandler&) = delete;
    JobHandler& operator=(const JobHandler&) = delete;

    // Runs the job; deletes this before it returns (touch nothing after).
    // pk (may be null) is read during the call only. companion may be null.
    virtual void doit(ChatSession* companion, const P2PPacket* pk);

protected:
    JobHandler() = default;
    virtual ~JobHandler() = default;

    virtual const char* jobName() const = 0;
    // The input's key fields as "name=value ..." text; fields the body does
    // not hold read as 0 or empty.
    virtual std::string describeInput(const P2PPacket* pk) const = 0;
    // Whether the job ends by releasing its companion with setExpired():
    // true for jobs that are given dummy sessions.
    virtual bool releasesCompanion() const { return false; }

private:
    void done(ChatSession* companion);
};
