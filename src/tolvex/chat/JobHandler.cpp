#include "tolvex/chat/JobHandler.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>

#include "cpputil/LoopThread.h"
#include "p2p/P2PPacket.h"
#include "tolvex/util/ChatContext.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/chat/JournalReplay.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/Metrics.h"

namespace {

constexpr int kDefaultWaitSec = 20;
std::atomic<int> s_waitSecOverride{0};

}  // namespace

int JobHandler::waitSec() {
    const int forced = s_waitSecOverride.load();
    if (forced > 0) return forced;
    return g_pApp ? g_pApp->config().wasTimeoutSec() : kDefaultWaitSec;
}

void JobHandler::setWaitSecOverride(int sec) { s_waitSecOverride = sec; }

namespace {

std::atomic<int> s_liveJobs{0};  // jobs constructed and not yet deleted
constexpr int kDefaultMaxRequests = 1000;
constexpr size_t kQueueLogStep = 1000;
std::atomic<int> s_maxRequestsOverride{0};

// The WAS connections in use and the jobs waiting for one. Event-loop
// thread only, like the jobs themselves.
struct RequestLine {
    int inFlight = 0;
    std::deque<JobHandler*> waiting;
};

RequestLine& requestLine() {
    // Never destroyed: jobs still waiting when the daemon exits stay
    // reachable instead of being cut loose by static destruction.
    static RequestLine* const line = new RequestLine;
    return *line;
}

bool connectionFree() {
    const int limit = JobHandler::maxRequests();
    return limit <= 0 || requestLine().inFlight < limit;
}

}  // namespace

int JobHandler::maxRequests() {
    const int forced = s_maxRequestsOverride.load();
    if (forced > 0) return forced;
    return g_pApp ? g_pApp->config().wasMaxRequests() : kDefaultMaxRequests;
}

void JobHandler::setMaxRequestsOverride(int count) { s_maxRequestsOverride = count; }

int JobHandler::requestsInFlight() {
    return requestLine().inFlight;
}

size_t JobHandler::jobsWaitingForAConnection() {
    return requestLine().waiting.size();
}

void JobHandler::startWaitingJobs() {
    // A job popped here may end at once (deleting itself); the line is
    // touched only between jobs.
    std::deque<JobHandler*>& waiting = requestLine().waiting;
    while (!waiting.empty() && connectionFree()) {
        JobHandler* job = waiting.front();
        waiting.pop_front();
        job->m_queued = false;
        const uint16_t rc = job->sendNow();
        if (rc != RES_OK) job->finish(rc);
    }
}

JobHandler::JobHandler() {
    ++s_liveJobs;
    gettimeofday(&m_begin, nullptr);
}

int JobHandler::liveJobCount() {
    return s_liveJobs.load();
}

JobHandler::~JobHandler() {
    --s_liveJobs;
    MicroTimer::getInst().killAll(this);
    leaveCompanion();
    leaveWasSession();
    if (m_queued) {
        std::deque<JobHandler*>& waiting = requestLine().waiting;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), this), waiting.end());
    }
}

// ---- starting -------------------------------------------------------------

void JobHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    ASSERT_IN_LOOP_THREAD();
    if (pFrom) {
        m_pcs = pFrom;
        m_ia = pFrom->peerAddr().sin_addr;
    }
    const uint16_t rc = doWAS(pFrom, pk, true);
    if (rc != RES_OK) finish(rc);
}

uint16_t JobHandler::doWAS(ChatSession* pFrom, const P2PPacket* pk, bool addRoomId) {
    uint16_t rc = RES_SYSTEM;
    try {
        if (pk) {
            m_req = pk->m_h;
            m_body.assign(pk->m_body ? pk->m_body : "", pk->m_body ? pk->m_h.blen : 0);
        }
        m_errmsg.clear();
        if (pFrom && addRoomId) {
            const uint32_t roomId = pFrom->getRoomId();
            const char le[4] = {static_cast<char>(roomId), static_cast<char>(roomId >> 8),
                                static_cast<char>(roomId >> 16), static_cast<char>(roomId >> 24)};
            m_body.insert(0, le, sizeof le);
        }
        m_trid = newTrid();
        const int inputLen = pk && pk->m_body ? pk->m_h.blen : 0;
        m_urlencode.init(pk ? 3 * inputLen + 512 : 512);
        if (getWASInfo(pk, &m_wasPage, &m_urlencode) == -1) {
            m_errmsg = "Fail get WAS info";
            return RES_NO_WAS_INFO;
        }
        if (m_journalId == 0 && journaled()) journalRequest();
        ++Metrics::getInst().wasPage(m_wasPage).started;
        return sendOrQueue();
    } catch (...) {
        logErrno("doWAS Exception");
    }
    return rc;
}

uint16_t JobHandler::sendOrQueue() {
    // Behind the jobs already waiting, even with a connection just freed.
    if (requestLine().waiting.empty() && connectionFree()) return sendNow();
    if (requestLine().waiting.size() >= kMaxWaitingJobs) {
        if (m_journalId != 0) return RES_LEFT_TO_JOURNAL;
        if (!waitsWhenBehind()) return RES_LINE_FULL;
    }
    // Without a limit a burst of jobs (a send-state pass at a busy hour)
    // opens a connection each at once: the WAS falls behind, the waits run
    // out, and the local ports run out with them.
    m_queued = true;
    std::deque<JobHandler*>& waiting = requestLine().waiting;
    waiting.push_back(this);
    if (waiting.size() % kQueueLogStep == 0)
        g_Logger.log("WAS requests: %d in flight, %zu jobs waiting for a connection", requestLine().inFlight,
                     waiting.size());
    // Its client may go meanwhile; the job must hear of it.
    observeCompanion();
    m_ws = STATE_WAITWAS;
    return RES_OK;
}

uint16_t JobHandler::sendNow() {
    uint16_t rc = startQuery();
    // A query that cannot even start (out of descriptors, a poller full) is
    // an attempt like one that times out: with retries left the wait timer
    // tries the next server, so the request is not lost.
    if (rc == RES_QUERY_FAILED && retryDoWas) rc = RES_OK;
    if (rc != RES_OK) return rc;
    startWaiting();
    return RES_OK;
}

uint16_t JobHandler::startQuery() {
    const wasinfo_t was = getWAS(&m_wasIndex);
    // The session is made only once the request can be built, so a refused
    // request leaves no session behind.
    HttpClientSession* session = HttpClientFactory::getInst()->newInst();
    if (!session) {
        m_errmsg = "Don't create WAS session";
        return RES_SYSTEM;
    }
    if (was.tls) session->connectWithTls(HttpClientFactory::getInst()->tlsContext(), was.addr);
    if (streamsReply()) {
        session->streamBodyTo(this, kStreamReadBytes);
        m_streamHead.clear();
        m_streamStarted = false;
    }
    // On failure query() has already disposed of the session.
    if (session->query(was.addr.c_str(), was.port, "1.0", "POST", m_wasPage.c_str(), m_urlencode.c_str(),
                       nullptr, &m_bodyWAS, this) != 0) {
        m_errmsg = "Fail query to WAS";
        g_Logger.log("%s:%s:%d, %s, %s, %s", __FILE__, __func__, __LINE__, m_wasPage.c_str(),
                     m_urlencode.c_str(), m_errmsg.c_str());
        return RES_QUERY_FAILED;
    }
    setWasSession(session);
    return RES_OK;
}

void JobHandler::setWasSession(HttpClientSession* session) {
    if (m_phcs && !session) --requestLine().inFlight;
    if (!m_phcs && session) ++requestLine().inFlight;
    m_phcs = session;
}

void JobHandler::observeCompanion() {
    if (m_pcs && !m_companionObserved) m_companionObserved = m_pcs->addEH(this) == 0;
}

void JobHandler::startWaiting() {
    observeCompanion();
    m_ws = STATE_WAITWAS;
    MicroTimer::getInst().setTimer(this, kWaitTimerId, waitSec());
}

void JobHandler::doREWAS(const char* cause) {
    if (!retryDoWas || m_wasRetryCount >= retryCount) {
        m_errmsg = cause;
        finish(RES_TIMEOUT);
        return;
    }
    ++m_wasRetryCount;
    ++Metrics::getInst().wasPage(m_wasPage).retried;
    g_Logger.log("Enter REWAS:%p. retryCount=%d, %s, %s", static_cast<void*>(this), m_wasRetryCount,
                 m_wasPage.c_str(), m_urlencode.c_str());
    const uint16_t rc = sendOrQueue();
    if (rc != RES_OK) finish(rc);
}

// ---- ending ---------------------------------------------------------------

void JobHandler::finish(uint16_t rescode) {
    // A job refused before it had a page (512) never reached the WAS.
    if (!m_wasPage.empty()) {
        Metrics::was_page_t& page = Metrics::getInst().wasPage(m_wasPage);
        ++(rescode == RES_OK ? page.succeeded : page.failed);
    }
    MicroTimer::getInst().killTimer(this, kWaitTimerId);
    leaveCompanion();
    leaveWasSession();
    settleJournal(rescode);
    done(rescode);
}

void JobHandler::journalRequest() {
    JobJournal* journal = JournalReplay::getInst().journal();
    if (!journal) return;
    m_journalRoom = m_pcs ? m_pcs->getRoomId() : 0;
    if (journal->append(m_journalRoom, m_wasPage, m_urlencode.str(), &m_journalId) != 0) {
        // Messages are refused before it comes to this; what still comes
        // (a leave, a send state) goes out unjournaled rather than not at all.
        m_journalId = 0;
        g_Logger.log("journal: no room for a request to %s; sent without a journal record", m_wasPage.c_str());
    }
}

void JobHandler::settleJournal(uint16_t rescode) {
    if (m_journalId == 0) return;
    JournalReplay& replay = JournalReplay::getInst();
    const uint64_t id = m_journalId;
    m_journalId = 0;
    if (rescode == RES_OK || rescode == RES_NO_WAS_INFO) {
        replay.answered(id);  // done, or a record that is no longer there
    } else if (rescode >= 400 && rescode < 500) {
        // The WAS's own refusals (a malformed field, a different message
        // under the same number): sending it again can never succeed.
        replay.refused(id, std::to_string(rescode) + " " + m_errmsg + " (" + m_wasPage + ")");
    } else {
        replay.later(id, m_journalRoom, rescode == RES_LEFT_TO_JOURNAL ? m_journalAttempts : m_journalAttempts + 1);
    }
}

void JobHandler::done(uint16_t) {
    delete this;
}

void JobHandler::leaveCompanion() {
    if (m_pcs && m_companionObserved) m_pcs->delEH(this);
    m_companionObserved = false;
}

void JobHandler::leaveWasSession() {
    if (!m_phcs) return;
    HttpClientSession* session = m_phcs;
    setWasSession(nullptr);
    session->delEH(this);
    session->cancel();
}

void JobHandler::releaseCompanion() {
    leaveCompanion();
    ChatSession* companion = m_pcs;
    m_pcs = nullptr;
    if (companion) companion->setExpired();
}

// ---- events ---------------------------------------------------------------

bool JobHandler::compareKey(Session*, const Packet* p) {
    const auto* pk = dynamic_cast<const P2PPacket*>(p);
    return pk && pk->m_h.trid == m_trid;
}

void JobHandler::resRecvEvent(Session* s, const Packet* p, bool* remove) {
    if (remove) *remove = true;
    leaveCompanion();
    m_errmsg.clear();
    if (s == m_phcs) setWasSession(nullptr);  // the connection ends itself after this call
    if (m_ws != STATE_WAITWAS) {
        g_Logger.log("resRecvEvent MSNG_ERR_SYSTEM");
        finish(RES_SYSTEM);
        return;
    }
    MicroTimer::getInst().killTimer(this, kWaitTimerId);
    m_bRecvedWAS = true;
    handleReply(p);
}

void JobHandler::handleReply(const Packet* p) {
    const auto* res = dynamic_cast<const HttpResPacket*>(p);
    if (!res) {
        m_errmsg = "WAS packet is NULL";
        finish(RES_BAD_REPLY);
        return;
    }
    if (res->m_streamed) {
        handleStreamedReply();
        return;
    }
    if (!res->m_body) {
        // Also a reply too large to keep.
        m_errmsg = "WAS body is NULL";
        finish(RES_BAD_REPLY);
        return;
    }
    const uint16_t code = getWASCode(res->m_body, res->m_bodylen);
    try {
        processP2PPacket(res->m_body + m_posClientRes, res->m_bodylen - m_posClientRes);
    } catch (...) {
        logErrno("processP2PPacket Exception");
    }
    finish(code);
}

void JobHandler::handleStreamedReply() {
    if (!m_streamStarted) {
        // Too short for a whole header: read as a kept reply would be.
        const uint16_t code = getWASCode(m_streamHead.data(), static_cast<int>(m_streamHead.size()));
        try {
            processP2PPacket(m_streamHead.data() + m_posClientRes,
                             static_cast<int>(m_streamHead.size()) - m_posClientRes);
        } catch (...) {
            logErrno("processP2PPacket Exception");
        }
        finish(code);
        return;
    }
    m_errmsg = m_streamText;
    try {
        payloadEnd();
    } catch (...) {
        logErrno("payloadEnd Exception");
    }
    finish(m_streamCode);
}

bool JobHandler::bodyBytes(const char* data, size_t len) {
    const time_t now = std::time(nullptr);
    if (now != m_streamArmed && m_ws == STATE_WAITWAS) {
        // A long reply that keeps coming is not a WAS that fails to answer.
        m_streamArmed = now;
        MicroTimer::getInst().setTimer(this, kWaitTimerId, waitSec());
    }
    try {
        if (m_streamStarted) return payloadBytes(data, static_cast<int>(len));
        return takeStreamHead(data, len);
    } catch (...) {
        logErrno("payloadBytes Exception");
    }
    return false;
}

bool JobHandler::takeStreamHead(const char* data, size_t len) {
    // The header is at most 258 bytes, so this holds little.
    m_streamHead.append(data, len);
    const auto* head = reinterpret_cast<const uint8_t*>(m_streamHead.data());
    const size_t have = m_streamHead.size();
    if (have < 4) return true;
    const bool plain = head[0] == kReplyMagic && head[3] <= 254;
    if (plain && have < 4u + head[3]) return true;
    m_streamCode = getWASCode(m_streamHead.data(), static_cast<int>(have));
    m_streamText = m_errmsg;
    m_streamStarted = true;
    std::string first;
    first.swap(m_streamHead);
    const int pos = m_posClientRes;
    return payloadBytes(first.data() + pos, static_cast<int>(first.size()) - pos);
}

uint16_t JobHandler::getWASCode(const char* body, int blen) {
    if (!body || blen <= 0) return RES_BAD_REPLY;
    const auto magic = static_cast<uint8_t>(body[0]);
    if (magic != kReplyMagic) {
        char text[32];
        std::snprintf(text, sizeof text, "invalid magiccode=%x", magic);
        m_errmsg = text;
        return RES_BAD_REPLY;
    }
    if (blen < 3) return RES_BAD_REPLY;
    const auto code = static_cast<uint16_t>(static_cast<uint8_t>(body[1]) | (static_cast<uint8_t>(body[2]) << 8));
    if (blen < 4) return code;
    const int textLen = static_cast<uint8_t>(body[3]);
    if (textLen > 254 || 4 + textLen > blen) return code;
    m_errmsg.assign(body + 4, static_cast<size_t>(textLen));
    m_posClientRes = 4 + textLen;
    return code;
}

void JobHandler::errorEvent(Session* s, bool* remove) {
    if (remove) *remove = true;
    if (m_ws != STATE_WAITWAS) {
        g_Logger.log("OTHER_ERROR\t%p", static_cast<void*>(s));
        finish(RES_SYSTEM);
        return;
    }
    try {
        if (s == m_phcs) {
            handleWasError(s);
        } else if (s == m_pcs) {
            // The client left; its job still has its reply to process, and
            // the wait timer keeps running so the job cannot hang.
            m_companionObserved = false;
            m_pcs = nullptr;
        }
    } catch (...) {
        logErrno("JobHandler::errorEvent Exception");
    }
}

void JobHandler::handleWasError(Session* s) {
    MicroTimer::getInst().killTimer(this, kWaitTimerId);
    setWasSession(nullptr);  // already ending; it forgot us before telling
    g_Logger.log("WAS_ERROR\t%p\t%x", static_cast<void*>(s), m_req.code);
    doREWAS("WAS connection failed");
}

int JobHandler::OnTimer(int id, void*) {
    MicroTimer::getInst().killTimer(this, id);
    try {
        if (id != kWaitTimerId) {
            m_errmsg = "Timeout in doing WAS";
            finish(RES_TIMEOUT);
            return 0;
        }
        // The companion stays: a dummy is still released when the job ends.
        leaveWasSession();
        doREWAS();
    } catch (...) {
        logErrno("JobHandler::OnTimer Exception");
    }
    return 0;
}
