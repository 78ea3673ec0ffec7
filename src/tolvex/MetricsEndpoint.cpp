#include "tolvex/MetricsEndpoint.h"

#include "cpputil/LoopThread.h"
#include "cpputil/MetricsText.h"
#include "net/App.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/JournalReplay.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/task/JobJournal.h"

MetricsEndpoint& MetricsEndpoint::getInst() {
    static MetricsEndpoint instance;
    return instance;
}

MetricsEndpoint::MetricsEndpoint()
    : m_factory(this, HttpServerFactory::options_t{kMaxConnections, kTimeoutSec,
                                                   HttpRequestReader::kDefaultMaxHeadBytes}) {}

Metrics::gauges_t MetricsEndpoint::gauges() const {
    ASSERT_IN_LOOP_THREAD();
    Metrics::gauges_t g;
    RoomManager& rooms = RoomManager::getInst();
    g.roomsLoaded = rooms.isRoomInitComplete();
    const RoomManager::counts_t counts = rooms.counts();
    g.rooms = counts.rooms;
    g.members = counts.members;
    if (m_app) {
        // The App tracks every accepted connection, these among them.
        const size_t open = m_app->openSessionCount();
        const size_t mine = static_cast<size_t>(m_factory.openConnections());
        g.clientConnections = open > mine ? open - mine : 0;
        g.queuedOutputBytes = m_app->queuedOutputBytes();
    }
    g.wasInFlight = static_cast<uint64_t>(JobHandler::requestsInFlight());
    g.wasWaiting = JobHandler::jobsWaitingForAConnection();
    if (const JobJournal* journal = JournalReplay::getInst().journal()) {
        g.journal = true;
        g.journalBytes = journal->bytes();
        g.journalUnanswered = journal->unretired();
    }
    g.metricsConnectionsRefused = m_factory.refusedConnections();
    return g;
}

std::string MetricsEndpoint::summaryLine() const {
    return Metrics::getInst().summary(gauges());
}

http_reply_t MetricsEndpoint::respond(const HttpRequestReader& request) {
    const std::string_view path = request.path();
    const bool known = path == "/metrics" || path == "/healthz";
    if (!known) return {404, "text/plain; charset=utf-8", "not found: try /metrics or /healthz\n", ""};
    if (request.method() != "GET" && request.method() != "HEAD")
        return {405, "text/plain; charset=utf-8", "only GET (and HEAD) are served here\n", "Allow: GET, HEAD\r\n"};
    if (path == "/healthz") {
        if (RoomManager::getInst().isRoomInitComplete())
            return {200, "text/plain; charset=utf-8", "ok: rooms loaded, serving clients\n", ""};
        return {503, "text/plain; charset=utf-8", "loading: rooms are still being loaded from the WAS\n", ""};
    }
    return {200, MetricsText::kContentType, Metrics::getInst().exposition(gauges()), ""};
}
