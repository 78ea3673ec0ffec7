#pragma once
// What tolvex-was counts for GET /metrics: requests by page and result,
// their latency, and how many writes each commit carried. One per process
// (getInst); any of the server's threads may add to it.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "cpputil/Histogram.h"

class WasMetrics {
public:
    // How a request ended: a reply with result 0, a refusal (a 4xx result
    // code: the request can never succeed), another result code (storage
    // trouble), or no reply at all because the body could not be read.
    enum result_t { RESULT_OK = 0, RESULT_REFUSED, RESULT_ERROR, RESULT_UNREADABLE, RESULT_COUNT };

    static WasMetrics& getInst();
    WasMetrics(const WasMetrics&) = delete;
    WasMetrics& operator=(const WasMetrics&) = delete;

    // The result class of a reply that starts with the binary result header.
    static result_t resultOf(std::string_view replyStart);

    void request(const std::string& page, result_t result, double seconds);
    void commit(size_t writes) { m_commitBatch.observe(static_cast<double>(writes)); }

    std::string exposition() const;

private:
    WasMetrics();

    mutable std::mutex m_mutex;  // guards m_requests
    std::map<std::string, std::array<uint64_t, RESULT_COUNT>> m_requests;
    Histogram m_latency;
    Histogram m_commitBatch;
};
