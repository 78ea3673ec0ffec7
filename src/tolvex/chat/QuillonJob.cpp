#include "tolvex/chat/QuillonJob.h"


#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <cstring>
#include <functional>
#include <mutex>

#include "net/HttpClientSession.h"
#include "p2p/P2PPacket.h"
#include "tolvex/util/ChatContext.h"
#include "tolvex/util/Globals.h"

QuillonInput::QuillonInput(const P2PPacket* pk)
    : m_parser(pk ? pk->m_body : nullptr, pk && pk->m_body ? pk->m_h.blen : 0),
      m_body(pk ? pk->m_body : nullptr),
      m_blen(pk && pk->m_body ? pk->m_h.blen : 0) {}

bool QuillonInput::take(void* out, int len) {
    if (m_ended || m_parser.mem(out, len) != 0) m_ended = true;
    return !m_ended;
}

uint8_t QuillonInput::u8() {
    uint8_t v = 0;
    return take(&v, sizeof v) ? v : 0;
}

uint16_t QuillonInput::u16() {
    uint16_t v = 0;
    return take(&v, sizeof v) ? v : 0;
}

uint32_t QuillonInput::u32() {
    uint32_t v = 0;
    return take(&v, sizeof v) ? v : 0;
}

std::string QuillonInput::str16(size_t maxLen) {
    pstr_t view;
    if (m_ended || m_parser.ptstr(&view) != 0) {
        m_ended = true;
        return {};
    }
    return std::string(view.c_str(), std::min<size_t>(static_cast<size_t>(view.len()), maxLen));
}

std::string QuillonInput::str32(size_t maxLen) {
    const int start = m_parser.pos();
    const uint32_t len = u32();
    if (m_ended) return {};
    // The length is untrusted: it must fit in what the body still holds.
    const size_t left = static_cast<size_t>(m_blen - start - 4);
    if (len > left) {
        m_ended = true;
        return {};
    }
    std::string s(m_body + start + 4, std::min<size_t>(len, maxLen));
    m_parser.throwAway(static_cast<int>(len));
    return s;
}

namespace {

std::mutex s_testMutex;                           // guards s_testValues
std::shared_ptr<const ConfigValues> s_testValues;  // tests without an application

}  // namespace

std::shared_ptr<const ConfigValues> QuillonSettings::values() {
    {
        std::lock_guard<std::mutex> lock(s_testMutex);
        if (s_testValues) return s_testValues;
    }
    if (g_pApp) return g_pApp->config().shared();
    static const auto none = std::make_shared<const ConfigValues>();
    return none;
}

void QuillonSettings::setForTests(const ConfigValues* v) {
    std::lock_guard<std::mutex> lock(s_testMutex);
    s_testValues = v ? std::make_shared<const ConfigValues>(*v) : nullptr;
}

void QuillonForm::text(URLEncode* form, const char* name, std::string_view value) {
    form->appendValue(name, value.data(), static_cast<int>(value.size()), true);
}

void QuillonForm::number(URLEncode* form, const char* name, int64_t value) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
    form->appendValue(name, digits, false);
}

void QuillonForm::literal(URLEncode* form, const char* name, const char* value) {
    form->appendValue(name, value, false);
}

std::string QuillonForm::textOf(const URLEncode& form) {
    return form.str();
}
