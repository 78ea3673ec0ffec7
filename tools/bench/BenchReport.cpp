#include "bench/BenchReport.h"

#include <cstdio>

namespace bench {

namespace {

constexpr double kPercentiles[] = {50, 90, 99, 99.9};
constexpr const char* kPercentileNames[] = {"p50", "p90", "p99", "p99.9"};

std::string printf1(const char* format, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string latencyText(const char* what, const LatencyHistogram& h) {
    std::string line = std::string(what) + " (ms):";
    if (h.count() == 0) return line + " no samples\n";
    for (size_t i = 0; i < std::size(kPercentiles); ++i)
        line += std::string(" ") + kPercentileNames[i] + " " +
                millisText(static_cast<double>(h.percentile(kPercentiles[i])));
    return line + " max " + millisText(static_cast<double>(h.max())) + " mean " + millisText(h.mean()) + "\n";
}

std::string latencyJson(const LatencyHistogram& h) {
    std::string out = "{\"count\":" + std::to_string(h.count());
    for (size_t i = 0; i < std::size(kPercentiles); ++i)
        out += std::string(",\"") + kPercentileNames[i] + "\":" + std::to_string(h.percentile(kPercentiles[i]));
    return out + ",\"max\":" + std::to_string(h.max()) + ",\"mean\":" + printf1("%.1f", h.mean()) + "}";
}

// The phases of a stall, by the send time of the relayed message.
constexpr const char* kStallPhaseNames[] = {"before", "during", "after"};

const LatencyHistogram& stallPhase(const stall_report_t& s, size_t phase) {
    return phase == 0 ? s.before : phase == 1 ? s.during : s.after;
}

std::string stallText(const bench_report_t& r) {
    const bench_options_t& o = r.options;
    std::string out = "stall: " + counted(static_cast<uint64_t>(o.stallReceivers), "receiver", "receivers") +
                      printf1(" not read from %g s", o.stallAtSec) +
                      printf1(" to %g s after the first send", o.stallAtSec + o.stallForSec) + " (" +
                      std::to_string(kStalledReceiveBuffer) + "-byte receive buffer)\n";
    out += "stalled receivers closed by the server: " + std::to_string(r.stall.closedByServer) +
           "; relays owed to closed stalled receivers: " + std::to_string(r.stall.owedToClosed) +
           " (not counted as lost)\n";
    out += "other receivers, send -> MSG_RELAY (ms) by send time:\n";
    for (size_t i = 0; i < std::size(kStallPhaseNames); ++i) {
        const LatencyHistogram& h = stallPhase(r.stall, i);
        out += std::string("  ") + kStallPhaseNames[i] + " the stall: " + counted(h.count(), "relay", "relays");
        if (h.count())
            out += ", p50 " + millisText(static_cast<double>(h.percentile(50))) + " p99 " +
                   millisText(static_cast<double>(h.percentile(99)));
        out += "\n";
    }
    return out;
}

std::string stallJson(const bench_report_t& r) {
    const bench_options_t& o = r.options;
    std::string out = ",\"stall\":{\"receivers\":" + std::to_string(o.stallReceivers) +
                      printf1(",\"at_sec\":%g", o.stallAtSec) + printf1(",\"for_sec\":%g", o.stallForSec) +
                      ",\"closed_by_server\":" + std::to_string(r.stall.closedByServer) +
                      ",\"owed_to_closed\":" + std::to_string(r.stall.owedToClosed);
    for (size_t i = 0; i < std::size(kStallPhaseNames); ++i) {
        const LatencyHistogram& h = stallPhase(r.stall, i);
        out += std::string(",\"") + kStallPhaseNames[i] + "\":{\"count\":" + std::to_string(h.count()) +
               ",\"p50\":" + std::to_string(h.percentile(50)) + ",\"p99\":" + std::to_string(h.percentile(99)) + "}";
    }
    return out + "}";
}

std::string errorsText(const bench_report_t& r) {
    std::string out = "errors: " + std::to_string(r.errorCount());
    for (const auto& [kind, count] : r.errors) out += " " + kind + "=" + std::to_string(count);
    return out + "\n";
}

std::string modeText(const bench_options_t& o) {
    if (o.rate > 0) return printf1("%g msg/s per sender", o.rate);
    return "closed loop, window " + std::to_string(o.window);
}

}  // namespace

std::string counted(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string millisText(double micros) {
    const double ms = micros / 1000;
    if (ms < 1) return printf1("%.3f", ms);
    if (ms < 10) return printf1("%.2f", ms);
    if (ms < 100) return printf1("%.1f", ms);
    return printf1("%.0f", ms);
}

uint64_t bench_report_t::errorCount() const {
    uint64_t n = 0;
    for (const auto& [kind, count] : errors) n += count;
    return n;
}

bool bench_report_t::clean() const {
    if (!setupError.empty() || errorCount() != 0) return false;
    if (lostRelays || duplicateRelays || orphanRelays || unacknowledged) return false;
    return !options.relayAck || reportedMessages == accepted;
}

std::string formatText(const bench_report_t& r) {
    const bench_options_t& o = r.options;
    std::string out = std::string(o.peer == Peer::kRedis ? "tolvex-bench (Redis pub/sub): " : "tolvex-bench: ") + counted(o.rooms, "room", "rooms") + " x " +
                      counted(o.members, "member", "members") + ", " + counted(r.senders, "sender", "senders") +
                      ", " + modeText(o) + ", " + std::to_string(o.messageSize) + "-byte messages, " +
                      printf1("%g s", o.durationSec) + printf1(", mobile share %g", o.mobileShare) +
                      (o.relayAck || o.peer == Peer::kRedis ? "" : ", no relay ACKs") + (o.tls ? ", TLS" : "") + "\n";
    if (!r.setupError.empty()) return out + "set-up failed: " + r.setupError + "\n";
    out += printf1("set-up: %.2f s for ", r.setupSec) + counted(r.connections, "connection", "connections") + "\n";
    if (o.idle > 0)
        out += "idle connections: " + std::to_string(r.idleOpen) + " of " + std::to_string(o.idle) + " open" +
               printf1(" in %.2f s", r.idleSetupSec) + ", " + std::to_string(r.idleOpenAtEnd) + " still open at the end" +
               (r.idleRefused ? ", " + std::to_string(r.idleRefused) + " refused (first: " + r.idleRefusal + ")" : "") +
               "\n";
    out += "messages accepted: " + std::to_string(r.accepted) + " of " + std::to_string(r.sent) + " sent" +
           printf1(" (%.1f/s)", r.acceptedPerSec());
    if (r.unacknowledged) out += ", " + std::to_string(r.unacknowledged) + " never acknowledged";
    out += r.skipped ? ", " + counted(r.skipped, "paced send", "paced sends") + " skipped (window full)\n" : "\n";
    out += "relays delivered: " + std::to_string(r.relays) + " of " + std::to_string(r.expectedRelays) +
           printf1(" (%.1f/s), ", r.relaysPerSec()) + std::to_string(r.lostRelays) + " lost, " +
           std::to_string(r.duplicateRelays) + " duplicated, " + std::to_string(r.orphanRelays) +
           " of unacknowledged messages, " + counted(r.relayAcks, "relay ACK", "relay ACKs") + " sent\n";
    const bool redis = o.peer == Peer::kRedis;
    out += latencyText(redis ? "send -> PUBLISH reply" : "send -> MSG_ACK  ", r.ackLatency);
    out += latencyText(redis ? "send -> receipt      " : "send -> MSG_RELAY", r.relayLatency);
    if (o.stallReceivers > 0) out += stallText(r);
    out += printf1("waited %.2f s after the last send for what was owed", r.settleSec) +
           printf1(" (drain %g s)\n", o.drainSec);
    // Redis has no delivery reports to account for.
    if (redis) return out + errorsText(r);
    out += "delivery reports: " + std::to_string(r.reportedMessages) + " of " +
           counted(r.accepted, "message", "messages") +
           printf1(" reported for every recipient (%.2f %%)", 100 * r.reportedShare()) + ", " +
           counted(r.resultNotices, "MSG_RESULT notice", "MSG_RESULT notices");
    if (r.duplicateReports)
        out += ", " + counted(r.duplicateReports, "recipient", "recipients") + " reported twice";
    if (r.orphanReports)
        out += ", " + counted(r.orphanReports, "entry", "entries") + " of unacknowledged messages";
    if (!r.outcomes.empty()) {
        out += "; outcomes:";
        for (const auto& [code, count] : r.outcomes)
            out.append(" ").append(std::to_string(code)).append("=").append(std::to_string(count));
    }
    return out + "\n" + errorsText(r);
}

std::string formatJson(const bench_report_t& r) {
    const bench_options_t& o = r.options;
    std::string out = std::string("{\"peer\":\"") + (o.peer == Peer::kRedis ? "redis" : "tolvex") +
                      "\",\"rooms\":" + std::to_string(o.rooms) + ",\"members\":" + std::to_string(o.members) +
                      ",\"senders\":" + std::to_string(r.senders) + printf1(",\"rate\":%g", o.rate) +
                      ",\"window\":" + std::to_string(o.window) + ",\"size\":" + std::to_string(o.messageSize) +
                      printf1(",\"duration_sec\":%g", o.durationSec) +
                      printf1(",\"mobile_share\":%g", o.mobileShare) +
                      ",\"relay_ack\":" + (o.relayAck ? "true" : "false") + ",\"tls\":" + (o.tls ? "true" : "false");
    out += ",\"connections\":" + std::to_string(r.connections) + printf1(",\"setup_sec\":%.3f", r.setupSec);
    if (!r.setupError.empty()) out += ",\"setup_error\":" + jsonString(r.setupError);
    out += ",\"idle\":" + std::to_string(o.idle) + ",\"idle_open\":" + std::to_string(r.idleOpen) +
           ",\"idle_refused\":" + std::to_string(r.idleRefused) +
           ",\"idle_open_at_end\":" + std::to_string(r.idleOpenAtEnd) + printf1(",\"idle_setup_sec\":%.3f", r.idleSetupSec);
    if (!r.idleRefusal.empty()) out += ",\"idle_refusal\":" + jsonString(r.idleRefusal);
    out += ",\"sent\":" + std::to_string(r.sent) + ",\"accepted\":" + std::to_string(r.accepted) +
           ",\"unacknowledged\":" + std::to_string(r.unacknowledged) +
           printf1(",\"accepted_per_sec\":%.1f", r.acceptedPerSec()) + ",\"skipped\":" + std::to_string(r.skipped) +
           ",\"relays\":" + std::to_string(r.relays) + ",\"expected_relays\":" + std::to_string(r.expectedRelays) +
           ",\"lost_relays\":" + std::to_string(r.lostRelays) +
           ",\"duplicate_relays\":" + std::to_string(r.duplicateRelays) +
           ",\"orphan_relays\":" + std::to_string(r.orphanRelays) +
           printf1(",\"relays_per_sec\":%.1f", r.relaysPerSec()) + ",\"relay_acks\":" + std::to_string(r.relayAcks);
    out += ",\"result_notices\":" + std::to_string(r.resultNotices) +
           ",\"reported_messages\":" + std::to_string(r.reportedMessages) +
           printf1(",\"reported_share\":%.4f", r.reportedShare()) +
           ",\"duplicate_reports\":" + std::to_string(r.duplicateReports) +
           ",\"orphan_reports\":" + std::to_string(r.orphanReports) + printf1(",\"settle_sec\":%.3f", r.settleSec);
    out += ",\"ack_latency_us\":" + latencyJson(r.ackLatency);
    out += ",\"relay_latency_us\":" + latencyJson(r.relayLatency);
    if (o.stallReceivers > 0) out += stallJson(r);
    out += ",\"outcomes\":{";
    bool first = true;
    for (const auto& [code, count] : r.outcomes) {
        out += (first ? "\"" : ",\"") + std::to_string(code) + "\":" + std::to_string(count);
        first = false;
    }
    out += "},\"errors\":{";
    first = true;
    for (const auto& [kind, count] : r.errors) {
        out.append(first ? "" : ",").append(jsonString(kind)).append(":").append(std::to_string(count));
        first = false;
    }
    return out + "},\"error_count\":" + std::to_string(r.errorCount()) +
           ",\"clean\":" + (r.clean() ? "true" : "false") + "}";
}

}  // namespace bench
