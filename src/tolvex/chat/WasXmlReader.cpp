#include "tolvex/chat/WasXmlReader.h"

#include <expat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

std::atomic<bool> s_failParserCreate{false};

// The value of the pos-th attribute (0-based), or null when there are fewer.
const char* attr(const XML_Char** atts, int pos) {
    for (int i = 0; i < pos; ++i)
        if (!atts[2 * i]) return nullptr;
    return atts[2 * pos] ? atts[2 * pos + 1] : nullptr;
}

// atoi without its undefined overflow: out-of-range text saturates.
long number(const XML_Char** atts, int pos) {
    const char* v = attr(atts, pos);
    return v ? std::strtol(v, nullptr, 10) : 0;
}

std::string text(const XML_Char** atts, int pos, size_t maxLen) {
    const char* v = attr(atts, pos);
    if (!v) return {};
    return std::string(v, strnlen(v, maxLen));
}

bool isRoomRow(const XML_Char* name) {
    return std::strcmp(name, "room") == 0 || std::strcmp(name, "rm") == 0;
}

void readRoomRow(RoomNotEnd& r, const XML_Char** atts) {
    r.roomId = static_cast<uint32_t>(number(atts, 0));
    r.userId = text(atts, 1, RoomNotEnd::kIdLen);
    r.userNameInfo = text(atts, 2, RoomNotEnd::kIdLen);
    r.joinSeq = static_cast<uint32_t>(number(atts, 3));
    r.maxMsgSeq = static_cast<uint32_t>(number(atts, 4));
    r.endYmdt = text(atts, 5, RoomNotEnd::kEndYmdtLen);
    r.last_recv_time = static_cast<uint32_t>(number(atts, 6));
    r.roomType = number(atts, 7) > 2 ? 10 : 1;
    r.maxJoinSeq = static_cast<uint32_t>(number(atts, 8));
}

void pushRow(std::vector<npush_result>* out, const XML_Char* name, const XML_Char** atts) {
    if (std::strcmp(name, "result") != 0) return;
    npush_result r;
    r.roomId = static_cast<uint32_t>(number(atts, 0));
    r.msgNum = static_cast<uint32_t>(number(atts, 1));
    r.toId = text(atts, 2, npush_result::kIdLen);
    r.resultCode = static_cast<uint16_t>(number(atts, 3));
    r.resultMsg = text(atts, 4, npush_result::kMsgLen);
    out->push_back(std::move(r));
}

void failRow(std::vector<sendfail_user>* out, const XML_Char* name, const XML_Char** atts) {
    if (std::strcmp(name, "send_fail_info") != 0) return;
    sendfail_user r;
    r.roomId = static_cast<uint32_t>(number(atts, 0));
    r.msgNum = static_cast<uint32_t>(number(atts, 1));
    r.trid = static_cast<uint32_t>(number(atts, 2));
    r.failUserId = text(atts, 3, sendfail_user::kIdLen);
    out->push_back(std::move(r));
}

struct ParserFree {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

template <typename Row>
struct Sink {
    std::vector<Row>* out;
    void (*take)(std::vector<Row>*, const XML_Char*, const XML_Char**);
};

template <typename Row>
void XMLCALL startElement(void* user, const XML_Char* name, const XML_Char** atts) {
    auto* sink = static_cast<Sink<Row>*>(user);
    sink->take(sink->out, name, atts);
}

void XMLCALL endElement(void*, const XML_Char*) {}

template <typename Row>
int parseRows(const char* text, int len, bool final, std::vector<Row>* out,
              void (*take)(std::vector<Row>*, const XML_Char*, const XML_Char**)) {
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(s_failParserCreate ? nullptr : XML_ParserCreate(nullptr));
    if (!parser) {
        std::fprintf(stderr, "Couldn't allocate memory for parser\n");
        return -1;
    }
    Sink<Row> sink{out, take};
    XML_SetUserData(parser.get(), &sink);
    XML_SetElementHandler(parser.get(), startElement<Row>, endElement);
    if (XML_Parse(parser.get(), text ? text : "", text && len > 0 ? len : 0, final ? 1 : 0) == XML_STATUS_ERROR) {
        std::fprintf(stderr, "Parse error at line %lu:\n%s\n",
                     static_cast<unsigned long>(XML_GetCurrentLineNumber(parser.get())),
                     XML_ErrorString(XML_GetErrorCode(parser.get())));
        return -1;
    }
    return 0;
}

}  // namespace

// ---- RoomRowReader ----------------------------------------------------------

struct RoomRowReader::Parser {
    std::unique_ptr<XML_ParserStruct, ParserFree> xml;
    RoomNotEnd row;  // reused: its strings keep their storage from row to row
};

RoomRowReader::RoomRowReader(std::function<void(const RoomNotEnd&)> onRow, size_t maxRows)
    : m_onRow(std::move(onRow)), m_maxRows(maxRows), m_parser(std::make_unique<Parser>()) {
    m_parser->xml.reset(s_failParserCreate ? nullptr : XML_ParserCreate(nullptr));
    XML_Parser p = m_parser->xml.get();
    if (!p) {
        m_error = "no XML parser could be made";
        return;
    }
    XML_SetUserData(p, this);
    XML_SetElementHandler(p, startElement, endElement);
    XML_SetCharacterDataHandler(p, text);
}

RoomRowReader::~RoomRowReader() = default;

void RoomRowReader::noteProgress() {
    m_lastEvent = XML_GetCurrentByteIndex(m_parser->xml.get());
}

void RoomRowReader::startElement(void* self, const char* name, const char** atts) {
    auto* reader = static_cast<RoomRowReader*>(self);
    reader->noteProgress();
    if (!isRoomRow(name)) return;
    if (reader->m_rows >= reader->m_maxRows) {
        reader->stop("more than " + std::to_string(reader->m_maxRows) + " rows", true);
        return;
    }
    ++reader->m_rows;
    readRoomRow(reader->m_parser->row, atts);
    reader->m_onRow(reader->m_parser->row);
}

void RoomRowReader::endElement(void* self, const char*) {
    static_cast<RoomRowReader*>(self)->noteProgress();
}

void RoomRowReader::text(void* self, const char*, int) {
    static_cast<RoomRowReader*>(self)->noteProgress();
}

void RoomRowReader::stop(std::string why, bool bound) {
    if (!m_error.empty()) return;
    m_error = std::move(why);
    m_overBound = bound;
    XML_StopParser(m_parser->xml.get(), XML_FALSE);
}

void RoomRowReader::takeXmlError() {
    if (!m_error.empty()) return;
    XML_Parser p = m_parser->xml.get();
    m_error = "XML error at line " + std::to_string(XML_GetCurrentLineNumber(p)) + ": " +
              XML_ErrorString(XML_GetErrorCode(p));
}

bool RoomRowReader::feed(const char* data, size_t len) {
    if (!m_error.empty()) return false;
    XML_Parser p = m_parser->xml.get();
    while (len > 0) {
        const int n = static_cast<int>(std::min<size_t>(len, 1 << 30));
        m_fed += n;
        if (XML_Parse(p, data, n, XML_FALSE) == XML_STATUS_ERROR) {
            takeXmlError();
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    // Whatever expat has not turned into an event yet it keeps: a row that
    // never ends would otherwise grow that without bound.
    if (m_fed - m_lastEvent > static_cast<long long>(kMaxRowBytes)) {
        stop("a row of more than " + std::to_string(kMaxRowBytes) + " bytes", true);
        return false;
    }
    return true;
}

bool RoomRowReader::finish() {
    if (!m_error.empty()) return false;
    if (XML_Parse(m_parser->xml.get(), "", 0, XML_TRUE) == XML_STATUS_ERROR) {
        takeXmlError();
        m_error = "the reply ended inside the document (" + m_error + ")";
        return false;
    }
    return true;
}

// ---- whole documents ----------------------------------------------------------

int parseNotEndRoom(const char* text, int len, std::vector<RoomNotEnd>* out) {
    RoomRowReader reader([out](const RoomNotEnd& row) { out->push_back(row); });
    const bool read = reader.feed(text ? text : "", text && len > 0 ? static_cast<size_t>(len) : 0);
    return read && reader.finish() ? 0 : -1;
}

int parsePushResult(const char* text, int len, std::vector<npush_result>* out) {
    return parseRows(text, len, false, out, pushRow);
}

int parseSendFailUserList(const char* text, int len, std::vector<sendfail_user>* out) {
    return parseRows(text, len, false, out, failRow);
}

void simulateXmlParserFailure(bool on) { s_failParserCreate = on; }
