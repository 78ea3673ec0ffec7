#pragma once
// What one run measured: counts, rates, the two latency histograms and the
// errors by kind, with its text and JSON forms. A plain value filled by the
// load runner; any thread once filled.

#include <cstdint>
#include <map>
#include <string>

#include "bench/BenchOptions.h"
#include "bench/LatencyHistogram.h"

namespace bench {

struct bench_report_t {
    bench_options_t options;
    int senders = 0;
    int connections = 0;
    double setupSec = 0;
    std::string setupError;  // set when the rooms could not be opened; nothing was sent

    uint64_t sent = 0;            // MSG requests written
    uint64_t accepted = 0;        // MSG_ACKs matched to a request
    uint64_t relays = 0;          // MSG_RELAYs received by members
    uint64_t expectedRelays = 0;  // one per other member of the room, per accepted message
    uint64_t relayAcks = 0;       // MSG_RELAY_ACKs written
    uint64_t skipped = 0;         // paced sends left out because the window was full
    std::map<uint32_t, uint64_t> outcomes;  // MSG_RESULT entries by outcome code

    double ackSpanSec = 0;    // from the first send to the last MSG_ACK
    double relaySpanSec = 0;  // from the first send to the last relay

    LatencyHistogram ackLatency;    // send to MSG_ACK, microseconds
    LatencyHistogram relayLatency;  // send to relay receipt, microseconds

    std::map<std::string, uint64_t> errors;  // by kind: "closed", "refused", "decode", ...

    double acceptedPerSec() const { return ackSpanSec > 0 ? static_cast<double>(accepted) / ackSpanSec : 0; }
    double relaysPerSec() const { return relaySpanSec > 0 ? static_cast<double>(relays) / relaySpanSec : 0; }
    uint64_t lostRelays() const { return expectedRelays > relays ? expectedRelays - relays : 0; }
    uint64_t errorCount() const;
    // Nothing went wrong: the rooms opened, no errors, no relay missing.
    bool clean() const { return setupError.empty() && errorCount() == 0 && lostRelays() == 0; }
};

std::string formatText(const bench_report_t& r);
// One JSON object on one line.
std::string formatJson(const bench_report_t& r);

}  // namespace bench
