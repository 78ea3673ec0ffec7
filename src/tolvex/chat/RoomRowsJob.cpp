#include "tolvex/chat/RoomRowsJob.h"

#include <algorithm>

#include "tolvex/util/Globals.h"

RoomRowsJob::RoomRowsJob() : m_reader([this](const RoomNotEnd& row) { applyRow(row); }) {}

RoomRowsJob::~RoomRowsJob() = default;

bool RoomRowsJob::payloadBytes(const char* data, int len) {
    if (len <= 0) return true;
    const auto n = static_cast<size_t>(len);
    if (m_head.size() < kLogHeadBytes) m_head.append(data, std::min(n, kLogHeadBytes - m_head.size()));
    m_payloadBytes += n;
    return m_reader.feed(data, n);
}

void RoomRowsJob::payloadEnd() {
    if (m_ended) return;
    m_ended = true;
    if (!m_reader.finish() && !m_reader.overBound())
        g_Logger.log("%s:%s:%d, Failed to parse XML data...", __FILE__, __func__, __LINE__);
    rowsEnd();
}

void RoomRowsJob::processP2PPacket(const char* body, int blen) {
    payloadBytes(body, body ? blen : 0);
    payloadEnd();
}

std::string RoomRowsJob::payloadForLog() const {
    if (m_payloadBytes <= m_head.size()) return m_head;
    return m_head + "... (" + std::to_string(m_payloadBytes) + " bytes, " + std::to_string(m_reader.rows()) +
           " rows)";
}

std::string RoomRowsJob::failure(uint16_t rescode) const {
    if (rescode != RES_OK) return std::to_string(rescode) + (m_errmsg.empty() ? "" : " " + m_errmsg);
    return m_reader.error();
}
