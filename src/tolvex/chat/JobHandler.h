#pragma once
// Base of every WAS job: one form POST to one WAS page, a wait (timer 100),
// optional retries on the next server, the reply header, then the page's
// payload to the subclass. A job owns itself: made with new, started once
// with doit(), and deleted by done(). Event-loop thread only.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "cpputil/MicroTimer.h"
#include "net/HttpClientSession.h"
#include "net/Session.h"
#include "p2p/P2PHeader.h"

class ChatSession;
class P2PPacket;

class JobHandler : public Session::EventHandler, public TimerEvent, private HttpBodySink {
public:
    enum state_t { STATE_NONE = 0, STATE_WAITWAS = 1 };

    // Result codes a job ends with (done); any other value is the code the
    // WAS put in its reply header.
    static constexpr uint16_t RES_OK = 0;
    static constexpr uint16_t RES_NO_WAS_INFO = 512;     // getWASInfo refused
    static constexpr uint16_t RES_SYSTEM = 1024;         // no HTTP session, exception, event out of turn
    static constexpr uint16_t RES_QUERY_FAILED = 1027;   // the HTTP query did not start
    static constexpr uint16_t RES_TIMEOUT = 1029;        // no reply in time, no retry left
    static constexpr uint16_t RES_BAD_REPLY = 1033;      // no body, or a bad reply header
    static constexpr uint16_t RES_LEFT_TO_JOURNAL = 1040;  // the line was full; the journal keeps the request
    static constexpr uint16_t RES_LINE_FULL = 1041;        // the line was full; a notification is given up

    // Jobs waiting for a connection in memory at most; a journaled request
    // beyond them waits in the journal only, at about 2 KB a job less.
    static constexpr size_t kMaxWaitingJobs = 10000;

    static constexpr int kWaitTimerId = 100;
    static constexpr uint8_t kReplyMagic = 0xFE;

    JobHandler(const JobHandler&) = delete;
    JobHandler& operator=(const JobHandler&) = delete;

    // The one entry point for starters: records the companion (may be null),
    // sends the first request and waits. May delete this before it returns;
    // the starter never touches the job again. pk (may be null) is read
    // during the call only. Subclasses override it to set their retry
    // policy first, then call JobHandler::doit.
    virtual void doit(ChatSession* pFrom, const P2PPacket* pk);

    // Session::EventHandler: the WAS connection and the companion session.
    void connectEvent(Session*, bool*) override {}
    void reqRecvEvent(Session*, const Packet*, bool*) override {}
    // The WAS reply: reads the header, hands the payload on, then done().
    void resRecvEvent(Session* s, const Packet* p, bool* remove) override;
    // The WAS connection failed (retry or 1029), or the companion session
    // failed (forgotten; the job keeps waiting, wait timer included).
    void errorEvent(Session* s, bool* remove) override;
    // True when the packet carries this job's transaction id.
    bool compareKey(Session* s, const Packet* p) override;

    // Timer 100: the wait is over; retry or give up.
    int OnTimer(int id, void* param) override;
    virtual void sentEvent(Session*, bool*) {}

    // Seconds a job waits for each reply: was_timeout_sec of the running
    // daemon, or this override when positive (tests without a daemon).
    // Jobs alive on any thread's count, so a shutdown or a test can wait
    // until the ones in flight are over.
    static int liveJobCount();
    static int waitSec();
    static void setWaitSecOverride(int sec);

    // At most was_max_requests WAS requests are in flight at once (0: no
    // limit; the override, when positive, is for tests without a daemon).
    // A job beyond that waits in order, without its wait timer, until the
    // loop calls startWaitingJobs() with a connection free.
    static int maxRequests();
    static void setMaxRequestsOverride(int count);
    static int requestsInFlight();
    static size_t jobsWaitingForAConnection();
    static void startWaitingJobs();

    // The reply body above this size ends the job with 1033, unless the
    // job streams its reply.
    static constexpr int kMaxReplyBytes = HttpClientSession::kMaxBodyBytes;
    // How much of a streamed reply is read at a time.
    static constexpr int kStreamReadBytes = 256 * 1024;

protected:
    JobHandler();
    // Stops the wait timer and leaves both observed sessions.
    ~JobHandler() override;

    // Finishes the job with its result; the base deletes this. An override
    // applies its effect (releaseCompanion(), log) and then calls
    // JobHandler::done. By then the job observes no session and its wait
    // timer is stopped. Touch nothing afterwards.
    virtual void done(uint16_t rescode);

    // Sets *page to the WAS page path, appends the form fields to *form and
    // returns 0; -1 when no request can be built (the job ends with 512).
    // pk is the input packet given to doit (may be null).
    virtual int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) = 0;

    // True for the requests that record state at the WAS (saves, send
    // states, leaves, room ends): they are journaled before they are sent
    // and kept until the WAS answers them for good. Pushes and invitations
    // notify people; sent late after a restart they would only mislead.
    virtual bool journaled() const { return false; }
    // False for pushes and invitations: with the line full the WAS is far
    // behind, and such a notification would come too late to help.
    virtual bool waitsWhenBehind() const { return true; }

    // The reply payload after the result header (XML for pages that return
    // data). Called once per reply whatever the WAS result code; blen may
    // be 0. body is valid during the call only.
    virtual void processP2PPacket(const char* body, int blen) = 0;

    // Jobs whose replies may be larger than kMaxReplyBytes take the payload
    // as it arrives: payloadBytes for each piece (false stops the reading;
    // what was read stays read), then payloadEnd once, both in place of
    // processP2PPacket. The wait for the reply starts over while data keeps
    // coming. A reply too short to carry a whole header still goes to
    // processP2PPacket. Such a job does not retry: a second attempt would
    // feed a second document into the first.
    virtual bool streamsReply() const { return false; }
    virtual bool payloadBytes(const char*, int) { return true; }
    virtual void payloadEnd() {}

    // Builds and sends the first request; returns a result code (0: sent,
    // waiting). doit() calls done() with any other code.
    uint16_t doWAS(ChatSession* pFrom, const P2PPacket* pk, bool addRoomId);
    // After a timeout or a WAS connection error: next server, or done(1029)
    // with cause as the error text. May delete this.
    void doREWAS(const char* cause = "Timeout in doing WAS");
    // Reads the reply header; sets m_errmsg and m_posClientRes. Returns the
    // WAS result code, or 1033 when the header is unusable.
    uint16_t getWASCode(const char* body, int blen);

    // setExpired() on the companion when it is still known, then forgets it.
    // For jobs that are given dummy sessions (their done() calls this). Use
    // this rather than companion()->setExpired(): the job must stop
    // observing a session before it goes.
    void releaseCompanion();
    // The companion session; null when none was given or it failed while
    // the job waited (a client that disconnected).
    ChatSession* companion() const { return m_pcs; }

    p2p_header_t m_req{};         // header of the input packet
    std::string m_body;           // input body; prefixed with the companion's room id
    bool retryDoWas = false;      // retry on the next server after a timeout or error
    int retryCount = 1;           // retries allowed when retryDoWas
    std::string m_errmsg;         // short error text of the last failure or the WAS's text
    std::string m_wasPage;        // the page in use
    int m_wasRetryCount = 0;
    int m_posClientRes = 0;       // payload offset in the reply body
    int m_wasIndex = -1;          // index of the WAS server in use; -1 before the first pick
    in_addr m_ia{};               // the companion's peer address
    trid_t m_trid = 0;
    timeval m_begin{};
    uint64_t m_journalId = 0;     // the request's journal record; 0 when not journaled
    uint32_t m_journalRoom = 0;   // the room it was journaled under
    int m_journalAttempts = 0;    // earlier sends of that record that failed

private:
    // Creates an HTTP session and posts the form to the next server.
    // Returns 0, RES_SYSTEM or RES_QUERY_FAILED (m_errmsg set).
    uint16_t startQuery();
    // Sends now when a connection is free, else joins the line: RES_OK, or
    // the code the job must end with.
    uint16_t sendOrQueue();
    uint16_t sendNow();
    void observeCompanion();
    void startWaiting();
    // Every change of m_phcs goes through here: it counts the requests in flight.
    void setWasSession(HttpClientSession* session);
    // Leaves both sessions and stops the wait, then done(rescode): every
    // end of a job goes through here. Deletes this.
    void finish(uint16_t rescode);
    void leaveCompanion();
    void leaveWasSession();
    // Appends the request to the journal (once it is built), when there is one.
    void journalRequest();
    // What the job's end means for its journal record: retired, set aside,
    // or sent again later.
    void settleJournal(uint16_t rescode);
    void handleReply(const Packet* p);
    void handleStreamedReply();
    void handleWasError(Session* s);
    bool bodyBytes(const char* data, size_t len) override;
    bool takeStreamHead(const char* data, size_t len);

    ChatSession* m_pcs = nullptr;          // companion: not owned (see releaseCompanion)
    bool m_companionObserved = false;      // registered with m_pcs as an observer
    HttpClientSession* m_phcs = nullptr;   // current WAS connection: not owned, we observe it
    bool m_queued = false;                 // waiting for a free connection
    URLEncode m_urlencode;
    std::string m_bodyWAS;
    bool m_bRecvedWAS = false;
    state_t m_ws = STATE_NONE;
    // A streamed reply: the header bytes until they are complete, then its
    // code and text; the wait timer is started over at most once a second.
    std::string m_streamHead;
    bool m_streamStarted = false;
    uint16_t m_streamCode = 0;
    std::string m_streamText;
    time_t m_streamArmed = 0;
};
