#include "was/WasMetrics.h"

#include "cpputil/MetricsText.h"

namespace {

constexpr const char* kResults[] = {"ok", "refused", "error", "unreadable"};

}  // namespace

WasMetrics& WasMetrics::getInst() {
    static WasMetrics instance;
    return instance;
}

// A save is a millisecond of SQLite plus its share of a commit; the upper
// buckets show a disk that cannot keep up.
WasMetrics::WasMetrics()
    : m_latency({0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10}),
      m_commitBatch({1, 2, 4, 8, 16, 32, 64, 128, 256}) {}

WasMetrics::result_t WasMetrics::resultOf(std::string_view replyStart) {
    if (replyStart.size() < 3 || static_cast<unsigned char>(replyStart[0]) != 0xFE) return RESULT_ERROR;
    const unsigned code = static_cast<unsigned char>(replyStart[1]) | static_cast<unsigned char>(replyStart[2]) << 8;
    if (code == 0) return RESULT_OK;
    return code >= 400 && code < 500 ? RESULT_REFUSED : RESULT_ERROR;
}

void WasMetrics::request(const std::string& page, result_t result, double seconds) {
    m_latency.observe(seconds);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_requests[page][result];
}

std::string WasMetrics::exposition() const {
    MetricsText t;
    t.family("tolvex_was_requests_total", "counter",
             "Requests by page and result: ok (result 0), refused (a 4xx result), error (another result), "
             "unreadable (no body read).");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [page, counts] : m_requests)
            for (int r = 0; r < RESULT_COUNT; ++r)
                t.sample("tolvex_was_requests_total", counts[r], {{"page", page}, {"result", kResults[r]}});
    }
    t.histogram("tolvex_was_request_duration_seconds", "From the request read to the reply built, commit included.",
                m_latency.snapshot());
    t.histogram("tolvex_was_commit_batch_writes", "Writes committed together in one transaction.",
                m_commitBatch.snapshot());
    return t.take();
}
