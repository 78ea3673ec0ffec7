#pragma once
// What one run measured: counts, rates, the two latency histograms, the
// delivery accounting and the errors by kind, with its text and JSON forms. A plain value filled by the
// load runner; any thread once filled.

#include <cstdint>
#include <map>
#include <string>

#include "bench/BenchOptions.h"
#include "bench/LatencyHistogram.h"

namespace bench {

// What stalled receivers did to a run (--stall-receivers).
struct stall_report_t {
    uint64_t closedByServer = 0;  // stalled receivers the daemon closed after their stall began
    uint64_t owedToClosed = 0;    // relays owed to those that never reached them (not lost)
    // The other receivers' send -> relay latency, by the message's send
    // time against the stall; microseconds.
    LatencyHistogram before;
    LatencyHistogram during;
    LatencyHistogram after;
};

struct bench_report_t {
    bench_options_t options;
    int senders = 0;
    int connections = 0;
    double setupSec = 0;
    std::string setupError;  // set when the rooms could not be opened; nothing was sent

    uint64_t sent = 0;             // MSG requests written
    uint64_t accepted = 0;         // MSG_ACKs matched to a request
    uint64_t unacknowledged = 0;   // requests still without MSG_ACK at the end
    uint64_t relays = 0;           // MSG_RELAYs received by members, duplicates included
    uint64_t expectedRelays = 0;   // one per other member of the room, per accepted message
    uint64_t lostRelays = 0;       // of those, the ones that never arrived, not counting stall.owedToClosed
    uint64_t duplicateRelays = 0;  // a member got the same message twice
    uint64_t orphanRelays = 0;     // relays of messages never acknowledged
    uint64_t relayAcks = 0;        // MSG_RELAY_ACKs written
    uint64_t skipped = 0;          // paced sends left out because the window was full
    uint64_t resultNotices = 0;    // MSG_RESULT notices received (and acknowledged)
    uint64_t reportedMessages = 0; // accepted messages whose notices listed every other member
    uint64_t duplicateReports = 0; // a member listed again for the same message
    uint64_t orphanReports = 0;    // notice entries of messages never acknowledged
    std::map<uint32_t, uint64_t> outcomes;  // MSG_RESULT entries by outcome code

    // Idle connections.
    int idleOpen = 0;          // joined during set-up
    int idleRefused = 0;       // asked for but not let in
    std::string idleRefusal;   // why the first of those was not
    int idleOpenAtEnd = 0;     // still connected when the run ended
    double idleSetupSec = 0;

    double settleSec = 0;     // from the last send until everything owed arrived (or the drain ran out)
    double ackSpanSec = 0;    // from the first send to the last MSG_ACK
    double relaySpanSec = 0;  // from the first send to the last relay

    // Microseconds, as the JSON gives them; the text prints milliseconds.
    LatencyHistogram ackLatency;    // send to MSG_ACK
    LatencyHistogram relayLatency;  // send to relay receipt

    stall_report_t stall;  // when options.stallReceivers > 0

    std::map<std::string, uint64_t> errors;  // by kind: "closed", "refused", "decode", ...

    double acceptedPerSec() const { return ackSpanSec > 0 ? static_cast<double>(accepted) / ackSpanSec : 0; }
    double relaysPerSec() const { return relaySpanSec > 0 ? static_cast<double>(relays) / relaySpanSec : 0; }
    // Share of accepted messages whose delivery was reported for every other member; 1 without messages.
    double reportedShare() const {
        return accepted ? static_cast<double>(reportedMessages) / static_cast<double>(accepted) : 1;
    }
    uint64_t errorCount() const;
    // Nothing went wrong: the rooms opened, no errors, every accepted
    // message relayed exactly once to every other member, every request
    // acknowledged and, when members acknowledge relays, every recipient
    // reported. Without relay ACKs the reports wait for the daemon's ACK
    // timeout, which may outlast the drain. Idle connections the daemon
    // refused at set-up are shown, not failed: they are what a run near the
    // daemon's connection ceiling is meant to find out, and so are stalled
    // receivers the daemon closed.
    bool clean() const;
};

// "1 room", "2 rooms": n with the noun that fits it.
std::string counted(uint64_t n, const char* one, const char* many);
// Microseconds as milliseconds with about three significant digits:
// "0.083", "4.86", "19.5", "287".
std::string millisText(double micros);

std::string formatText(const bench_report_t& r);
// One JSON object on one line.
std::string formatJson(const bench_report_t& r);

}  // namespace bench
