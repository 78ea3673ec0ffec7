#include "tolvex/task/JobJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <unordered_set>
#include <utility>

#include "tolvex/util/Globals.h"
#include "tolvex/util/Metrics.h"

namespace {

constexpr uint8_t kJob = 1;
constexpr uint8_t kRetire = 2;
constexpr uint32_t kHeaderLen = 4 + 4;             // length, checksum
constexpr uint32_t kMaxBody = 64u << 20;           // anything longer is corruption
constexpr uint32_t kRetireBody = 1 + 8;            // type, id
constexpr uint32_t kJobMinBody = 1 + 8 + 4 + 2 + 4;  // type, id, room, page and form lengths
constexpr size_t kCopyChunk = 64 << 10;
const char* const kSegmentPrefix = "journal-";
const char* const kSegmentSuffix = ".log";
const char* const kDeadLetterFile = "dead-letter.log";

using record_t = JobJournal::record_t;

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

// CRC-32 with the IEEE polynomial, the one zlib and PNG use.
uint32_t crc32(const std::string& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putLE(std::string& s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Little-endian fields out of bytes read from disk; every get fails rather
// than read past the end.
class LEReader {
public:
    explicit LEReader(const std::string& s) : m_s(s) {}
    template <typename T>
    bool get(T* out) {
        if (m_s.size() - m_at < sizeof(T)) return false;
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(static_cast<unsigned char>(m_s[m_at + i])) << (8 * i);
        m_at += sizeof(T);
        *out = static_cast<T>(v);
        return true;
    }
    bool bytes(size_t n, std::string* out) {
        if (m_s.size() - m_at < n) return false;
        out->assign(m_s, m_at, n);
        m_at += n;
        return true;
    }
    bool atEnd() const { return m_at == m_s.size(); }

private:
    const std::string& m_s;
    size_t m_at = 0;
};

struct entry_t {
    uint8_t type = 0;
    record_t record;  // only id is set for a retire mark
};

std::string frame(const std::string& body) {
    std::string out;
    out.reserve(kHeaderLen + body.size());
    putLE(out, body.size(), 4);
    putLE(out, crc32(body), 4);
    return out + body;
}

std::string encodeJob(uint64_t id, uint32_t roomId, const std::string& page, const std::string& form) {
    std::string body;
    body.reserve(kJobMinBody + page.size() + form.size());
    putLE(body, kJob, 1);
    putLE(body, id, 8);
    putLE(body, roomId, 4);
    putLE(body, page.size(), 2);
    body += page;
    putLE(body, form.size(), 4);
    body += form;
    return frame(body);
}

std::string encodeRetire(uint64_t id) {
    std::string body;
    body.reserve(kRetireBody);
    putLE(body, kRetire, 1);
    putLE(body, id, 8);
    return frame(body);
}

// A body must hold exactly what its type says, no byte more or less.
bool decodeBody(const std::string& body, entry_t* out) {
    LEReader in(body);
    if (!in.get(&out->type) || !in.get(&out->record.id)) return false;
    if (out->type == kRetire) return in.atEnd();
    if (out->type != kJob) return false;
    uint16_t pageLen = 0;
    uint32_t formLen = 0;
    return in.get(&out->record.roomId) && in.get(&pageLen) && in.bytes(pageLen, &out->record.page) &&
           in.get(&formLen) && in.bytes(formLen, &out->record.form) && in.atEnd();
}

// 0, or an errno value; a file shorter than asked is EIO.
int readExact(int fd, char* buf, size_t len, uint64_t offset) {
    while (len > 0) {
        const ssize_t n = pread(fd, buf, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        buf += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

// 0, or an errno value; a short write is continued, not reported.
int writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

enum class read_t { OK, BAD, IO };

// Reads and checks the record at offset of a file of size bytes. BAD leaves
// the reason in *why, IO the errno text.
read_t readEntry(int fd, uint64_t offset, uint64_t size, entry_t* out, uint32_t* length, std::string* why) {
    const uint64_t left = size - offset;
    if (left < kHeaderLen) {
        *why = "torn header";
        return read_t::BAD;
    }
    std::string header(kHeaderLen, '\0');
    if (const int err = readExact(fd, header.data(), header.size(), offset)) {
        *why = std::strerror(err);
        return read_t::IO;
    }
    LEReader in(header);
    uint32_t bodyLen = 0, crc = 0;
    in.get(&bodyLen);
    in.get(&crc);
    if (bodyLen > kMaxBody) {
        *why = "length " + std::to_string(bodyLen) + " over the limit";
        return read_t::BAD;
    }
    if (bodyLen > left - kHeaderLen) {
        *why = "torn record (length " + std::to_string(bodyLen) + ", " + std::to_string(left - kHeaderLen) +
               " bytes left)";
        return read_t::BAD;
    }
    std::string body(bodyLen, '\0');
    if (const int err = readExact(fd, body.data(), body.size(), offset + kHeaderLen)) {
        *why = std::strerror(err);
        return read_t::IO;
    }
    if (crc32(body) != crc) {
        *why = "checksum mismatch";
        return read_t::BAD;
    }
    if (!decodeBody(body, out)) {
        *why = "malformed record";
        return read_t::BAD;
    }
    *length = kHeaderLen + bodyLen;
    return read_t::OK;
}

struct scan_end_t {
    uint64_t good = 0;     // bytes of whole, valid records from the start
    std::string why;       // empty when the file ended cleanly
    bool ioError = false;  // why is an errno text, not a corruption
};

// Hands every valid record from the start of fd to fn, up to the first bad one.
template <typename Fn>
scan_end_t scanRecords(int fd, uint64_t size, Fn fn) {
    scan_end_t end;
    while (end.good < size) {
        entry_t e;
        uint32_t length = 0;
        const read_t r = readEntry(fd, end.good, size, &e, &length, &end.why);
        if (r != read_t::OK) {
            end.ioError = r == read_t::IO;
            break;
        }
        fn(e, end.good, length);
        end.good += length;
    }
    return end;
}

std::string hex16(uint64_t id) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016" PRIx64, id);
    return buf;
}

std::string segmentName(uint64_t firstId) {
    return kSegmentPrefix + hex16(firstId) + kSegmentSuffix;
}

bool parseSegmentName(const std::string& name, uint64_t* firstId) {
    const size_t prefix = strlen(kSegmentPrefix), suffix = strlen(kSegmentSuffix);
    if (name.size() != prefix + 16 + suffix || name.compare(0, prefix, kSegmentPrefix) != 0 ||
        name.compare(prefix + 16, suffix, kSegmentSuffix) != 0)
        return false;
    const std::string digits = name.substr(prefix, 16);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)); }))
        return false;
    *firstId = strtoull(digits.c_str(), nullptr, 16);
    return true;
}

// Segment files of dir by first id, so in append order; empty when dir is unreadable.
std::map<uint64_t, std::string> listSegments(const std::string& dir) {
    std::map<uint64_t, std::string> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        uint64_t id = 0;
        if (parseSegmentName(it->path().filename().string(), &id)) out[id] = it->path().string();
    }
    return out;
}

uint64_t fileSize(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int makeDir(const std::string& dir, std::string* error) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + dir + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + " is not a directory";
        return -1;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *error = "cannot write in " + dir + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

// Tabs and line breaks would split a dead-letter or dump line.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}

std::string utcNow() {
    const time_t now = time(nullptr);
    tm t{};
    gmtime_r(&now, &t);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &t);
    return buf;
}

void dumpSegment(int fd, const std::string& path, const std::unordered_set<uint64_t>& retired, std::string* out) {
    if (fd < 0) {
        *out += path + ": cannot open: " + std::strerror(errno) + "\n";
        return;
    }
    const uint64_t size = fileSize(fd);
    *out += std::filesystem::path(path).filename().string() + ": " + std::to_string(size) + " bytes\n";
    const scan_end_t end = scanRecords(fd, size, [&](const entry_t& e, uint64_t offset, uint32_t) {
        const record_t& r = e.record;
        char line[160];
        if (e.type == kRetire)
            snprintf(line, sizeof line, "  @%" PRIu64 " retire id=%" PRIu64 "\n", offset, r.id);
        else
            snprintf(line, sizeof line, "  @%" PRIu64 " job id=%" PRIu64 " room=%u form=%zu %s page=", offset, r.id,
                     r.roomId, r.form.size(), retired.count(r.id) ? "retired" : "pending");
        *out += line;
        if (e.type == kJob) *out += oneLine(r.page) + "\n";
    });
    if (end.good < size)
        *out += "  @" + std::to_string(end.good) + (end.ioError ? " unreadable: " : " corrupt: ") + end.why + ", " +
                std::to_string(size - end.good) + " bytes to the end\n";
}

}  // namespace

JobJournal::Fd& JobJournal::Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int JobJournal::Fd::release() {
    return std::exchange(m_fd, -1);
}

void JobJournal::Fd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

int JobJournal::open(const options_t& options, std::vector<record_t>* pending, std::vector<std::string>* notes,
                     std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    reset();
    m_options = options;
    if (notes) notes->clear();
    if (makeDir(m_options.dir, error) != 0 || scanSegments(notes, error) != 0) return -1;
    compact();
    if (openActive(error) != 0) return -1;
    if (!pending) return 0;
    pending->clear();
    for (const auto& [id, where] : m_index) {
        record_t r;
        if (!readJob(where, id, &r)) {
            *error = "cannot read back record " + std::to_string(id) + " of " + m_segments[where.segment].path;
            return -1;
        }
        pending->push_back(std::move(r));
    }
    return 0;
}

// A second open() starts from nothing; callbacks waiting on the old files are dropped.
void JobJournal::reset() {
    m_segments.clear();
    m_index.clear();
    m_active.reset();
    m_activeBroken = false;
    m_nextId = 1;
    m_bytes = 0;
    m_full = false;
    m_unsynced = false;
    m_lastSync = {};
    m_durableWaiters.clear();
}

int JobJournal::scanSegments(std::vector<std::string>* notes, std::string* error) {
    for (const auto& [key, path] : listSegments(m_options.dir)) {
        m_segments[key].path = path;
        // The name counts as seen: an emptied last segment still keeps ids from going back.
        m_nextId = std::max(m_nextId, key + 1);
        if (scanOne(key, notes, error) != 0) return -1;
    }
    return 0;
}

int JobJournal::scanOne(uint64_t key, std::vector<std::string>* notes, std::string* error) {
    segment_t& segment = m_segments[key];
    Fd fd(::open(segment.path.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
        *error = "cannot open " + segment.path + ": " + std::strerror(errno);
        return -1;
    }
    const uint64_t size = fileSize(fd.get());
    const scan_end_t end = scanRecords(fd.get(), size, [&](const entry_t& e, uint64_t offset, uint32_t length) {
        m_nextId = std::max(m_nextId, e.record.id + 1);
        if (e.type == kJob)
            indexJob(e.record.id, key, offset, length);
        else
            forgetJob(e.record.id, key);  // a mark for a job already gone does nothing
    });
    if (end.ioError) {
        *error = "cannot read " + segment.path + ": " + end.why;
        return -1;
    }
    segment.bytes = end.good;
    m_bytes += end.good;
    if (end.good == size) return 0;
    if (setAside(fd.get(), segment.path, key, end.good, size, end.why, notes, error) != 0) return -1;
    if (ftruncate(fd.get(), static_cast<off_t>(end.good)) != 0 || (syncing() && fdatasync(fd.get()) != 0)) {
        *error = "cannot truncate " + segment.path + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

// Copies [from, size) of a segment into a corrupt-*.bin file beside it. A name
// already taken (the same spot torn again after a restart) gets a suffix: the
// first copy may hold records someone wants back.
int JobJournal::setAside(int fd, const std::string& path, uint64_t key, uint64_t from, uint64_t size,
                         const std::string& why, std::vector<std::string>* notes, std::string* error) {
    const std::string stem = "corrupt-" + hex16(key) + "-" + std::to_string(from);
    std::string name = stem + ".bin";
    Fd out(::open((m_options.dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    for (int n = 1; out.get() < 0 && errno == EEXIST && n < 1000; ++n) {
        name = stem + "." + std::to_string(n) + ".bin";
        out.reset(::open((m_options.dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    }
    int err = out.get() < 0 ? errno : 0;
    std::string chunk;
    for (uint64_t at = from; err == 0 && at < size; at += chunk.size()) {
        chunk.resize(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, size - at)));
        err = readExact(fd, chunk.data(), chunk.size(), at);
        if (err == 0) err = writeAll(out.get(), chunk.data(), chunk.size());
    }
    if (err == 0 && syncing() && fdatasync(out.get()) != 0) err = errno;
    if (err != 0) {
        *error = "cannot set aside the corrupt end of " + path + " in " + name + ": " + std::strerror(err);
        return -1;
    }
    if (syncing()) syncDir();
    if (notes)
        notes->push_back(std::filesystem::path(path).filename().string() + ": " + why + " at offset " +
                         std::to_string(from) + "; " + std::to_string(size - from) + " bytes set aside in " + name);
    return 0;
}

void JobJournal::indexJob(uint64_t id, uint64_t segment, uint64_t offset, uint32_t length) {
    // Ids only grow, so a second job with a known id can only be a stray copy.
    if (!m_index.emplace(id, location_t{segment, offset, length}).second) return;
    ++m_segments[segment].liveJobs;
}

void JobJournal::forgetJob(uint64_t id, uint64_t markSegment) {
    const auto it = m_index.find(id);
    if (it == m_index.end()) return;
    segment_t& home = m_segments[it->second.segment];
    --home.liveJobs;
    if (it->second.segment != markSegment) {
        ++home.markedIn[markSegment];
        ++m_segments[markSegment].marksForOthers;
    }
    m_index.erase(it);
}

int JobJournal::openActive(std::string* error) {
    if (m_segments.empty()) return 0;  // the first append creates one
    const std::string& path = m_segments.rbegin()->second.path;
    m_active.reset(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    if (m_active.get() < 0) {
        *error = "cannot open " + path + " for appending: " + std::strerror(errno);
        return -1;
    }
    return 0;
}

bool JobJournal::read(uint64_t id, record_t* out) const {
    const auto it = m_index.find(id);
    return it != m_index.end() && readJob(it->second, id, out);
}

bool JobJournal::readJob(const location_t& where, uint64_t id, record_t* out) const {
    const auto segment = m_segments.find(where.segment);
    if (segment == m_segments.end()) return false;
    Fd own;
    int fd = m_active.get();
    if (std::next(segment) != m_segments.end() || fd < 0) {
        own.reset(::open(segment->second.path.c_str(), O_RDONLY | O_CLOEXEC));
        fd = own.get();
    }
    entry_t e;
    uint32_t length = 0;
    std::string why;
    if (fd < 0 || readEntry(fd, where.offset, where.offset + where.length, &e, &length, &why) != read_t::OK ||
        e.type != kJob || e.record.id != id || length != where.length) {
        g_Logger.log("JobJournal: cannot read record %" PRIu64 " of %s: %s", id, segment->second.path.c_str(),
                     why.empty() ? "not the record indexed" : why.c_str());
        return false;
    }
    *out = std::move(e.record);
    return true;
}

int JobJournal::append(uint32_t roomId, const std::string& page, const std::string& form, uint64_t* id) {
    if (page.size() > UINT16_MAX || form.size() > kMaxBody - kJobMinBody - page.size()) return -1;
    const std::string bytes = encodeJob(m_nextId, roomId, page, form);
    if (!makeRoom(bytes.size()) || (needNewSegment() && startSegment() != 0)) {
        m_full = true;
        return -1;
    }
    const uint64_t key = m_segments.rbegin()->first;
    const uint64_t offset = m_segments.rbegin()->second.bytes;
    if (writeRecord(bytes) != 0) {
        m_full = true;
        return -1;
    }
    indexJob(m_nextId, key, offset, static_cast<uint32_t>(bytes.size()));
    Metrics& metrics = Metrics::getInst();
    Metrics::add(metrics.journalRecordsAppended);
    Metrics::add(metrics.journalBytesAppended, bytes.size());
    *id = m_nextId++;
    m_full = false;
    return 0;
}

bool JobJournal::needNewSegment() const {
    return m_active.get() < 0 || m_activeBroken || m_segments.rbegin()->second.bytes >= m_options.segmentBytes;
}

// Appends are refused past maxBytes, but the active segment is never deleted
// while it takes appends: once all it holds is retired, a fresh segment lets
// compaction give its bytes back.
bool JobJournal::makeRoom(uint64_t need) {
    if (m_bytes + need <= m_options.maxBytes) return true;
    if (m_segments.empty()) return false;
    const segment_t& last = m_segments.rbegin()->second;
    if (last.liveJobs > 0 || last.marksForOthers > 0 || last.bytes == 0) return false;
    return startSegment() == 0 && m_bytes + need <= m_options.maxBytes;
}

int JobJournal::startSegment() {
    // The old segment's records must not depend on a later fsync of a file
    // that sync() no longer looks at.
    if (m_active.get() >= 0 && m_unsynced && syncing()) {
        if (fdatasync(m_active.get()) != 0) {
            g_Logger.log("JobJournal: fdatasync %s: %s", m_segments.rbegin()->second.path.c_str(), std::strerror(errno));
            return -1;
        }
        m_unsynced = false;
    }
    const std::string path = m_options.dir + "/" + segmentName(m_nextId);
    Fd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        g_Logger.log("JobJournal: cannot create %s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (syncing()) syncDir();
    m_segments[m_nextId].path = path;
    m_active = std::move(fd);
    m_activeBroken = false;
    compact();
    return 0;
}

int JobJournal::writeRecord(const std::string& bytes) {
    segment_t& segment = m_segments.rbegin()->second;
    const int err = writeAll(m_active.get(), bytes.data(), bytes.size());
    if (err == 0) {
        segment.bytes += bytes.size();
        m_bytes += bytes.size();
        m_unsynced = true;
        return 0;
    }
    g_Logger.log("JobJournal: write %s: %s", segment.path.c_str(), std::strerror(err));
    // A torn record left in place would hide every record written after it.
    if (ftruncate(m_active.get(), static_cast<off_t>(segment.bytes)) != 0) {
        g_Logger.log("JobJournal: truncate %s: %s", segment.path.c_str(), std::strerror(errno));
        m_activeBroken = true;
        // The next segment must not take this one's name.
        if (segment.bytes == 0) ++m_nextId;
    }
    return -1;
}

void JobJournal::retire(uint64_t id) {
    const auto it = m_index.find(id);
    if (it == m_index.end()) return;
    // Marks ignore maxBytes: refusing them would keep the journal full for good.
    if ((m_active.get() < 0 || m_activeBroken) && startSegment() != 0) {
        g_Logger.log("JobJournal: retire mark for %" PRIu64 " lost: no segment to write to", id);
        forgetJob(id, it->second.segment);
        compact();
        return;
    }
    const uint64_t markSegment = m_segments.rbegin()->first;
    // A mark that never reached the disk pins no older segment.
    forgetJob(id, writeRecord(encodeRetire(id)) == 0 ? markSegment : it->second.segment);
    compact();
}

void JobJournal::deadLetter(uint64_t id, const std::string& reason) {
    if (m_index.count(id) == 0) return;
    record_t r;
    if (!readJob(m_index[id], id, &r)) r.id = id;  // still worth a line: it can never be sent
    if (!writeDeadLetter(r, reason)) return;
    retire(id);
}

bool JobJournal::writeDeadLetter(const record_t& r, const std::string& reason) {
    const std::string path = m_options.dir + "/" + kDeadLetterFile;
    const std::string line = utcNow() + "\tid=" + std::to_string(r.id) + "\troom=" + std::to_string(r.roomId) +
                             "\tpage=" + oneLine(r.page) + "\treason=" + oneLine(reason) + "\tform=" + oneLine(r.form) +
                             "\n";
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    int err = fd.get() < 0 ? errno : writeAll(fd.get(), line.data(), line.size());
    // The line must outlive the retire mark that follows it.
    if (err == 0 && syncing() && fdatasync(fd.get()) != 0) err = errno;
    if (err != 0) g_Logger.log("JobJournal: dead letter %" PRIu64 " to %s: %s", r.id, path.c_str(), std::strerror(err));
    return err == 0;
}

// One pass from the oldest segment: deleting one can only free newer ones
// (those holding marks for its jobs), which the same pass reaches later.
void JobJournal::compact() {
    bool removed = false;
    for (auto it = m_segments.begin(); it != m_segments.end();) {
        const uint64_t key = it->first;
        const bool gone = deletable(key, it->second) && removeSegment(key);
        it = gone ? m_segments.upper_bound(key) : std::next(it);
        removed = removed || gone;
    }
    if (!removed) return;
    m_full = false;
    if (syncing()) syncDir();
}

bool JobJournal::deletable(uint64_t key, const segment_t& segment) const {
    return key != m_segments.rbegin()->first && segment.liveJobs == 0 && segment.marksForOthers == 0;
}

bool JobJournal::removeSegment(uint64_t key) {
    segment_t& segment = m_segments[key];
    if (unlink(segment.path.c_str()) != 0) {
        g_Logger.log("JobJournal: unlink %s: %s", segment.path.c_str(), std::strerror(errno));
        return false;
    }
    for (const auto& [holder, marks] : segment.markedIn) m_segments[holder].marksForOthers -= marks;
    m_bytes -= segment.bytes;
    m_segments.erase(key);
    return true;
}

void JobJournal::syncDir() const {
    Fd dir(::open(m_options.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || fsync(dir.get()) != 0)
        g_Logger.log("JobJournal: fsync %s: %s", m_options.dir.c_str(), std::strerror(errno));
}

int JobJournal::sync(std::chrono::steady_clock::time_point now) {
    const bool due = m_options.sync == sync_t::ALWAYS ||
                     (m_options.sync == sync_t::INTERVAL && now - m_lastSync >= std::chrono::milliseconds(m_options.intervalMs));
    int done = 0;
    if (m_unsynced && due) {
        if (fdatasync(m_active.get()) != 0) {
            g_Logger.log("JobJournal: fdatasync %s: %s", m_segments.rbegin()->second.path.c_str(), std::strerror(errno));
            return 0;
        }
        m_unsynced = false;
        m_lastSync = now;
        done = 1;
    }
    runDurableCallbacks();
    return done;
}

void JobJournal::afterDurable(std::function<void()> fn) {
    m_durableWaiters.push_back(std::move(fn));
}

void JobJournal::runDurableCallbacks() {
    std::vector<std::function<void()>> batch;
    batch.swap(m_durableWaiters);  // a callback may append and wait again: next pass
    for (auto& fn : batch) {
        try {
            fn();
        } catch (const std::exception& e) {
            g_Logger.log("JobJournal: durable callback threw: %s", e.what());
        } catch (...) {
            g_Logger.log("JobJournal: durable callback threw");
        }
    }
}

std::string JobJournal::dump(const std::string& dir) {
    const std::map<uint64_t, std::string> segments = listSegments(dir);
    std::unordered_set<uint64_t> retired;
    for (const auto& [key, path] : segments) {
        Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) continue;
        scanRecords(fd.get(), fileSize(fd.get()), [&](const entry_t& e, uint64_t, uint32_t) {
            if (e.type == kRetire) retired.insert(e.record.id);
        });
    }
    std::string out;
    for (const auto& [key, path] : segments) {
        Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        dumpSegment(fd.get(), path, retired, &out);
    }
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("corrupt-", 0) == 0)
            out += name + ": " + std::to_string(it->file_size(ec)) + " bytes set aside\n";
    }
    return out;
}
