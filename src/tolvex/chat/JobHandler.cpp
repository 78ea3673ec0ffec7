#include "tolvex/chat/JobHandler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "p2p/P2PPacket.h"
#include "tolvex/Globals.h"
#include "tolvex/session/ChatSession.h"

void JobHandler::doit(ChatSession* companion, const P2PPacket* pk) {
    try {
        const std::string input = describeInput(pk);
        g_Logger.log("WAS job %s: %s", jobName(), input.c_str());
    } catch (const std::exception& e) {
        g_Logger.log("%s Exception ERROR:%d(%s) %s", jobName(), errno, std::strerror(errno), e.what());
        errno = 0;
    }
    done(companion);
}

void JobHandler::done(ChatSession* companion) {
    if (companion && releasesCompanion()) companion->setExpired();
    delete this;
}

JobInput::JobInput(const P2PPacket* pk)
    : m_parser(pk ? pk->m_body : nullptr, pk && pk->m_body ? pk->m_h.blen : 0) {}

bool JobInput::take(void* out, int len) {
    if (m_ended || m_parser.mem(out, len) != 0) m_ended = true;
    return !m_ended;
}

uint8_t JobInput::u8() {
    uint8_t v = 0;
    return take(&v, sizeof v) ? v : 0;
}

uint16_t JobInput::u16() {
    uint16_t v = 0;
    return take(&v, sizeof v) ? v : 0;
}

uint32_t JobInput::u32() {
    uint32_t v = 0;
    return take(&v, sizeof v) ? v : 0;
}

std::string JobInput::str16(size_t maxLen) {
    pstr_t view;
    if (m_ended || m_parser.ptstr(&view) != 0) {
        m_ended = true;
        return {};
    }
    return std::string(view.c_str(), std::min<size_t>(view.len(), maxLen));
}
