#pragma once
// The daemon's metrics listener (metrics_bindaddr): GET /metrics in the
// Prometheus text format and GET /healthz, served on the event loop beside
// the clients, and the figures the statistics logs get each minute. One per
// process (getInst); event-loop thread only.

#include <string>

#include "net/HttpServerSession.h"
#include "tolvex/util/Metrics.h"

class App;

class MetricsEndpoint : public HttpResponder {
public:
    // At most this many metrics connections at once; more are closed at
    // once. A scraper needs one; the rest is headroom for a person with curl.
    static constexpr int kMaxConnections = 16;
    static constexpr int kTimeoutSec = 10;

    static MetricsEndpoint& getInst();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // The app whose sessions and poller are counted.
    void setApp(App* app) { m_app = app; }
    HttpServerFactory& factory() { return m_factory; }

    http_reply_t respond(const HttpRequestReader& request) override;

    // The figures of this moment, gathered on the loop.
    Metrics::gauges_t gauges() const;
    // The statistics logs' line: every figure as name=value.
    std::string summaryLine() const;

private:
    MetricsEndpoint();

    App* m_app = nullptr;
    HttpServerFactory m_factory;
};
