#pragma once
// What the daemon counts for its operators: one process-wide registry
// (getInst), counted where each event happens, read by the metrics endpoint
// and the statistics logs. The counters are relaxed atomics that any thread
// may add to; the WAS page table belongs to the event-loop thread, where
// every WAS job runs.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "cpputil/Histogram.h"

class MetricsText;

class Metrics {
public:
    // Device kinds, packet kinds and outcome codes, each an index.
    enum device_t { DEVICE_PC = 0, DEVICE_MOBILE = 1, DEVICE_COUNT };
    enum kind_t { KIND_MESSAGE = 0, KIND_ATTACHMENT = 1, KIND_TYPING = 2, KIND_COUNT };
    enum close_t { CLOSE_OVERFLOW = 0, CLOSE_BAD_PACKET = 1, CLOSE_INVALID_COMMAND = 2, CLOSE_FLOOD = 3, CLOSE_AUTH = 4, CLOSE_COUNT };
    // The outcome codes a delivery report carries, and a slot for any other.
    static constexpr std::array<uint32_t, 4> kOutcomeCodes = {1, 10, 11, 20};

    // Per WAS page (path): jobs started, ended well, ended otherwise, and
    // attempts made again after a timeout or a failed connection.
    struct was_page_t {
        uint64_t started = 0;
        uint64_t succeeded = 0;
        uint64_t failed = 0;
        uint64_t retried = 0;
    };
    // Distinct pages kept at most; more (a journal of odd paths) count as "other".
    static constexpr size_t kMaxWasPages = 64;

    // What the loop knows at the moment it is asked; filled by the daemon.
    struct gauges_t {
        bool roomsLoaded = false;
        uint64_t rooms = 0;
        uint64_t members = 0;
        uint64_t clientConnections = 0;
        uint64_t wasInFlight = 0;
        uint64_t wasWaiting = 0;
        bool journal = false;
        uint64_t journalBytes = 0;
        uint64_t journalUnanswered = 0;
        uint64_t queuedOutputBytes = 0;
        uint64_t metricsConnectionsRefused = 0;
    };

    static Metrics& getInst();
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    static void add(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }
    static device_t device(uint16_t osType);
    void outcome(uint32_t code);

    std::atomic<uint64_t> connectionsAccepted{0};
    // Closed at accept: their address was over conn_rate_per_addr.
    std::atomic<uint64_t> connectionsRateLimited{0};
    std::array<std::atomic<uint64_t>, DEVICE_COUNT> sessionsOpened{};
    std::array<std::atomic<int64_t>, DEVICE_COUNT> sessionsListed{};  // gauge
    std::array<std::atomic<uint64_t>, KIND_COUNT> received{};
    std::array<std::atomic<uint64_t>, KIND_COUNT> relaysSent{};
    std::atomic<uint64_t> relayAcksMatched{0};
    std::atomic<uint64_t> relayAckTimeouts{0};
    std::array<std::atomic<uint64_t>, kOutcomeCodes.size() + 1> outcomes{};
    std::atomic<uint64_t> resultNoticesSent{0};
    std::atomic<uint64_t> resultAckTimeouts{0};
    std::atomic<uint64_t> pushesRequested{0};
    std::atomic<uint64_t> journalRecordsAppended{0};
    std::atomic<uint64_t> journalBytesAppended{0};
    std::array<std::atomic<uint64_t>, CLOSE_COUNT> sessionsClosed{};
    // Work of one loop pass, the poller's wait left out, in seconds.
    Histogram loopPass;

    // Event-loop thread.
    was_page_t& wasPage(const std::string& page);

    // The exposition text (metrics endpoint) and the one-line summary
    // (statistics logs) of the same figures. Event-loop thread.
    std::string exposition(const gauges_t& g);
    std::string summary(const gauges_t& g);

private:
    Metrics();

    std::map<std::string, was_page_t> m_wasPages;  // loop thread
};
