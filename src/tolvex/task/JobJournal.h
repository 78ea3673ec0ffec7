#pragma once
// A durable, append-only record of the WAS requests that change state, kept
// as segment files in one folder, so a request the daemon accepted survives
// a crash, a kill or a WAS outage until the WAS has answered it for good.
// Owned by the application; event-loop thread only (no locks, no threads).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class JobJournal {
public:
    enum class sync_t { ALWAYS, INTERVAL, OFF };
    struct options_t {
        std::string dir;                   // created (one level, mode 0755) when missing
        uint64_t maxBytes = 1ull << 30;    // append refuses beyond this many bytes on disk
        sync_t sync = sync_t::ALWAYS;
        int intervalMs = 100;              // INTERVAL: at most this long between fsyncs
        uint64_t segmentBytes = 8u << 20;  // a new segment starts past this size
    };
    struct record_t {
        uint64_t id = 0;      // increasing in append order, unique across restarts
        uint32_t roomId = 0;
        std::string page;     // the WAS page path
        std::string form;     // the encoded form body, sent as it is
    };

    JobJournal() = default;
    JobJournal(const JobJournal&) = delete;
    JobJournal& operator=(const JobJournal&) = delete;
    ~JobJournal() = default;

    // Opens (creating dir), scans every segment in order and fills *pending with the
    // records not yet retired, in append order (pending and notes are cleared first). A record whose checksum or length is
    // wrong ends the scan of its segment: the bytes from there to the segment's end are
    // copied to dir/corrupt-<segment>-<offset>.bin, the segment is truncated there, and a
    // line describing it goes to *notes. 0, or -1 with *error (dir not creatable or
    // writable, a segment unreadable, or corrupt bytes that could not be set aside:
    // truncating without a copy would lose them).
    int open(const options_t& options, std::vector<record_t>* pending, std::vector<std::string>* notes,
             std::string* error);
    // Appends one record (not yet synced); 0 with *id set, or -1 when the journal would pass
    // maxBytes, the page is longer than 65535 bytes, or the write fails (a full disk): the
    // caller must then refuse the work.
    int append(uint32_t roomId, const std::string& page, const std::string& form, uint64_t* id);
    // Marks a record answered for good (appends a small retire mark). Unknown ids are
    // ignored. A mark that cannot be written is logged; the record is then forgotten
    // here but comes back from the next open(), so the WAS may see it twice.
    void retire(uint64_t id);
    // Sets the record aside for good: appends it with the reason as one line to
    // dir/dead-letter.log (time, id, room, page, reason, form), then retires it. When
    // the line cannot be written the record stays unretired rather than vanish.
    void deadLetter(uint64_t id, const std::string& reason);
    // Reads back a record not yet retired (for a request that waits on disk only); false
    // when unknown, retired or unreadable.
    bool read(uint64_t id, record_t* out) const;
    // Called by the loop on every pass. ALWAYS: fsync when anything was appended or retired
    // since the last sync; INTERVAL: when intervalMs passed since the last sync and something
    // is unsynced; OFF: never. After a sync (or at once with OFF, or with nothing unsynced) runs,
    // in order, the callbacks queued by afterDurable. Returns the number of fsyncs done (0 or 1).
    // A failed fsync is logged and keeps the callbacks queued for the next pass.
    int sync(std::chrono::steady_clock::time_point now);
    // Runs fn once everything appended so far is on disk as the mode promises
    // (ALWAYS: after the next sync; INTERVAL and OFF: at the next sync() call).
    void afterDurable(std::function<void()> fn);
    uint64_t bytes() const { return m_bytes; }  // bytes of all segment files
    size_t unretired() const { return m_index.size(); }
    uint64_t maxBytes() const { return m_options.maxBytes; }
    bool full() const { return m_full; }  // the last append failed and nothing was compacted since
    // A readable listing of every segment: one line per record (id, room, page, form length,
    // retired or not) and per corrupt region, for `--journal-dump`. Reads only.
    static std::string dump(const std::string& dir);

private:
    // Owns one descriptor and closes it.
    class Fd {
    public:
        explicit Fd(int fd = -1) : m_fd(fd) {}
        Fd(Fd&& other) noexcept : m_fd(other.release()) {}
        Fd& operator=(Fd&& other) noexcept;
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;
        ~Fd() { reset(); }
        int get() const { return m_fd; }
        int release();
        void reset(int fd = -1);

    private:
        int m_fd;
    };

    // Where an unretired job record sits: no payload stays in memory.
    struct location_t {
        uint64_t segment = 0;  // key of m_segments
        uint64_t offset = 0;
        uint32_t length = 0;   // the whole record, header included
    };
    struct segment_t {
        std::string path;
        uint64_t bytes = 0;
        size_t liveJobs = 0;  // unretired job records in this file
        // Retire marks here for jobs of older files still on disk: deleting this file
        // before those would bring their jobs back at the next open.
        size_t marksForOthers = 0;
        std::map<uint64_t, size_t> markedIn;  // newer segment -> marks it holds for my jobs
    };

    int scanSegments(std::vector<std::string>* notes, std::string* error);
    int scanOne(uint64_t key, std::vector<std::string>* notes, std::string* error);
    void indexJob(uint64_t id, uint64_t segment, uint64_t offset, uint32_t length);
    void forgetJob(uint64_t id, uint64_t markSegment);
    int setAside(int fd, const std::string& path, uint64_t key, uint64_t from, uint64_t size, const std::string& why,
                 std::vector<std::string>* notes, std::string* error);
    int openActive(std::string* error);
    bool readJob(const location_t& where, uint64_t id, record_t* out) const;
    bool needNewSegment() const;
    int startSegment();
    int writeRecord(const std::string& bytes);
    bool makeRoom(uint64_t need);
    void compact();
    bool deletable(uint64_t key, const segment_t& segment) const;
    bool removeSegment(uint64_t key);
    void syncDir() const;
    bool syncing() const { return m_options.sync != sync_t::OFF; }
    bool writeDeadLetter(const record_t& record, const std::string& reason);
    void runDurableCallbacks();
    void reset();

    options_t m_options;
    std::map<uint64_t, segment_t> m_segments;  // by first id; the last one takes appends
    std::map<uint64_t, location_t> m_index;    // unretired jobs by id, so in append order
    Fd m_active;                               // the last segment, O_APPEND; -1 before its first append
    bool m_activeBroken = false;               // a failed write left garbage at its end
    uint64_t m_nextId = 1;
    uint64_t m_bytes = 0;
    bool m_full = false;
    bool m_unsynced = false;
    std::chrono::steady_clock::time_point m_lastSync{};
    std::vector<std::function<void()>> m_durableWaiters;
};
