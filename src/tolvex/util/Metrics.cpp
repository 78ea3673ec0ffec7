#include "tolvex/util/Metrics.h"

#include <cstdio>
#include <iterator>

#include "cpputil/LoopThread.h"
#include "cpputil/MetricsText.h"
#include "tolvex/util/ChatCodes.h"

namespace {

constexpr const char* kDevices[] = {"pc", "mobile"};
constexpr const char* kKinds[] = {"message", "attachment", "typing"};
constexpr const char* kCloses[] = {"overflow", "bad_packet", "invalid_command", "flood", "auth"};
static_assert(std::size(kCloses) == Metrics::CLOSE_COUNT, "a name for every close reason");

uint64_t get(const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); }

// A loop pass is normally well under a millisecond; the upper buckets show
// the stalls that clients feel.
std::vector<double> passBounds() {
    return {0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1};
}

}  // namespace

Metrics& Metrics::getInst() {
    static Metrics instance;
    return instance;
}

Metrics::Metrics() : loopPass(passBounds()) {}

Metrics::device_t Metrics::device(uint16_t osType) {
    return osType == OS_TYPE_MOBILE ? DEVICE_MOBILE : DEVICE_PC;
}

void Metrics::outcome(uint32_t code) {
    size_t i = 0;
    while (i < kOutcomeCodes.size() && kOutcomeCodes[i] != code) ++i;
    add(outcomes[i]);
}

Metrics::was_page_t& Metrics::wasPage(const std::string& page) {
    ASSERT_IN_LOOP_THREAD();
    auto it = m_wasPages.find(page);
    if (it != m_wasPages.end()) return it->second;
    if (m_wasPages.size() >= kMaxWasPages) return m_wasPages["other"];
    return m_wasPages[page];
}

std::string Metrics::exposition(const gauges_t& g) {
    ASSERT_IN_LOOP_THREAD();
    MetricsText t;
    t.single("tolvexd_up", "gauge",
             "1 while the daemon serves; rooms_loaded tells whether it is ready.", uint64_t{1});
    t.single("tolvexd_rooms_loaded", "gauge",
             "1 once the not-ended rooms are loaded from the WAS, 0 while loading.", uint64_t{g.roomsLoaded});
    t.single("tolvexd_rooms", "gauge", "Rooms in memory.", g.rooms);
    t.single("tolvexd_room_members", "gauge", "Members of the rooms in memory, connected or not.", g.members);

    t.single("tolvexd_client_connections", "gauge", "Client connections open.", g.clientConnections);
    t.single("tolvexd_client_connections_accepted_total", "counter",
             "Client connections accepted.", get(connectionsAccepted));
    t.single("tolvexd_client_connections_rate_limited_total", "counter",
             "Client connections closed at accept because their address opened more than conn_rate_per_addr a second.",
             get(connectionsRateLimited));
    t.family("tolvexd_sessions", "gauge", "Client sessions in rooms (joined connections), by device kind.");
    for (int d = 0; d < DEVICE_COUNT; ++d)
        t.sample("tolvexd_sessions", sessionsListed[d].load(std::memory_order_relaxed), {{"device", kDevices[d]}});
    t.family("tolvexd_sessions_opened_total", "counter", "Client sessions that entered a room, by device kind.");
    for (int d = 0; d < DEVICE_COUNT; ++d)
        t.sample("tolvexd_sessions_opened_total", get(sessionsOpened[d]), {{"device", kDevices[d]}});
    t.family("tolvexd_sessions_closed_total", "counter",
             "Client connections the daemon closed: output past send_buffer_max, a packet the framing refused, "
             "an unknown command or encryption type, requests past session_msg_rate.");
    for (int r = 0; r < CLOSE_COUNT; ++r)
        t.sample("tolvexd_sessions_closed_total", get(sessionsClosed[r]), {{"reason", kCloses[r]}});

    t.family("tolvexd_received_total", "counter", "Messages, attachment notices and typing notices received.");
    for (int k = 0; k < KIND_COUNT; ++k) t.sample("tolvexd_received_total", get(received[k]), {{"kind", kKinds[k]}});
    t.family("tolvexd_relays_sent_total", "counter", "Relays queued to members' sessions, by what they carry.");
    for (int k = 0; k < KIND_COUNT; ++k)
        t.sample("tolvexd_relays_sent_total", get(relaysSent[k]), {{"kind", kKinds[k]}});
    t.single("tolvexd_relay_acks_matched_total", "counter",
             "Relay ACKs that matched a relay waiting for one.", get(relayAcksMatched));
    t.single("tolvexd_relay_ack_timeouts_total", "counter",
             "Recipients whose relay ACK did not come within msg_relay_ack_timeout_sec.", get(relayAckTimeouts));
    t.family("tolvexd_outcomes_total", "counter",
             "Recipient outcomes reported: 1 delivered, 10 no relay ACK in time, 11 no session took it, 20 push failed.");
    for (size_t i = 0; i < kOutcomeCodes.size(); ++i)
        t.sample("tolvexd_outcomes_total", get(outcomes[i]), {{"code", std::to_string(kOutcomeCodes[i])}});
    t.sample("tolvexd_outcomes_total", get(outcomes[kOutcomeCodes.size()]), {{"code", "other"}});
    t.single("tolvexd_result_notices_sent_total", "counter",
             "MSG_RESULT notices queued to senders.", get(resultNoticesSent));
    t.single("tolvexd_result_ack_timeouts_total", "counter",
             "Outcomes in MSG_RESULT notices the sender did not acknowledge within msg_result_ack_timeout_sec.",
             get(resultAckTimeouts));
    t.single("tolvexd_pushes_requested_total", "counter",
             "Recipients a mobile push was asked of the WAS for.", get(pushesRequested));

    const auto pages = [&](const char* name, const char* help, uint64_t was_page_t::*field) {
        t.family(name, "counter", help);
        for (const auto& [page, counts] : m_wasPages) t.sample(name, counts.*field, {{"page", page}});
    };
    pages("tolvexd_was_requests_started_total", "WAS jobs started, by page.", &was_page_t::started);
    pages("tolvexd_was_requests_succeeded_total", "WAS jobs the WAS answered with result 0, by page.",
          &was_page_t::succeeded);
    pages("tolvexd_was_requests_failed_total",
          "WAS jobs that ended otherwise (timeout, refusal, bad reply, line full), by page.", &was_page_t::failed);
    pages("tolvexd_was_requests_retried_total", "WAS requests sent again to the next server, by page.",
          &was_page_t::retried);
    t.single("tolvexd_was_requests_in_flight", "gauge", "WAS requests with a connection open.", g.wasInFlight);
    t.single("tolvexd_was_requests_waiting", "gauge",
             "WAS jobs waiting for a free connection (was_max_requests).", g.wasWaiting);

    if (g.journal) {
        t.single("tolvexd_journal_records_total", "counter",
                 "WAS requests appended to the job journal.", get(journalRecordsAppended));
        t.single("tolvexd_journal_appended_bytes_total", "counter",
                 "Bytes appended to the job journal.", get(journalBytesAppended));
        t.single("tolvexd_journal_bytes", "gauge", "Bytes of the journal's segment files.", g.journalBytes);
        t.single("tolvexd_journal_unanswered_records", "gauge",
                 "Journal records the WAS has not answered for good.", g.journalUnanswered);
    }

    t.single("tolvexd_queued_output_bytes", "gauge",
             "Bytes of output waiting in client connections' send buffers.", g.queuedOutputBytes);
    t.single("tolvexd_metrics_connections_refused_total", "counter",
             "Metrics connections closed at once because the most allowed were open.", g.metricsConnectionsRefused);
    t.histogram("tolvexd_loop_pass_seconds", "Work of one event-loop pass, the poller's wait left out.",
                loopPass.snapshot());
    return t.take();
}

std::string Metrics::summary(const gauges_t& g) {
    ASSERT_IN_LOOP_THREAD();
    std::string s;
    const auto put = [&s](const std::string& name, auto value) {
        if (!s.empty()) s.push_back(' ');
        s += name + "=" + std::to_string(value);
    };
    put("rooms_loaded", static_cast<int>(g.roomsLoaded));
    put("rooms", g.rooms);
    put("members", g.members);
    put("connections", g.clientConnections);
    put("accepted", get(connectionsAccepted));
    put("rate_limited", get(connectionsRateLimited));
    for (int d = 0; d < DEVICE_COUNT; ++d) put(std::string("sessions_") + kDevices[d], sessionsListed[d].load());
    for (int k = 0; k < KIND_COUNT; ++k) put(std::string("received_") + kKinds[k], get(received[k]));
    for (int k = 0; k < KIND_COUNT; ++k) put(std::string("relays_") + kKinds[k], get(relaysSent[k]));
    put("relay_acks", get(relayAcksMatched));
    put("relay_ack_timeouts", get(relayAckTimeouts));
    for (size_t i = 0; i < kOutcomeCodes.size(); ++i) put("outcome_" + std::to_string(kOutcomeCodes[i]), get(outcomes[i]));
    put("outcome_other", get(outcomes[kOutcomeCodes.size()]));
    put("result_notices", get(resultNoticesSent));
    put("result_ack_timeouts", get(resultAckTimeouts));
    put("pushes", get(pushesRequested));
    was_page_t all;
    for (const auto& [page, c] : m_wasPages) {
        all.started += c.started;
        all.succeeded += c.succeeded;
        all.failed += c.failed;
        all.retried += c.retried;
    }
    put("was_started", all.started);
    put("was_succeeded", all.succeeded);
    put("was_failed", all.failed);
    put("was_retried", all.retried);
    put("was_in_flight", g.wasInFlight);
    put("was_waiting", g.wasWaiting);
    if (g.journal) {
        put("journal_records", get(journalRecordsAppended));
        put("journal_bytes", g.journalBytes);
    }
    put("queued_output_bytes", g.queuedOutputBytes);
    for (int r = 0; r < CLOSE_COUNT; ++r) put(std::string("closed_") + kCloses[r], get(sessionsClosed[r]));
    const Histogram::snapshot_t pass = loopPass.snapshot();
    put("loop_passes", pass.count);
    char sum[32];
    std::snprintf(sum, sizeof sum, "%.3f", pass.sum);
    s += std::string(" loop_seconds=") + sum;
    return s;
}
