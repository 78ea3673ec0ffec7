#pragma once
// Pieces the Quillon WAS jobs share: a bounded reader of their input body,
// the settings they put into a request (page paths, service address), and
// the form appenders. Values and free functions; event-loop thread (the
// settings may be read from any thread).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "p2p/Parser2.h"
#include "tolvex/util/ChatConfig.h"

class P2PPacket;
class URLEncode;

// Reads a job's input body field by field. Once a field is missing every
// later one reads as 0 or empty, as the jobs treat a short input. A string
// longer than its field's limit is cut to the limit; the whole field is
// consumed, so the fields after it stay in place.
class QuillonInput {
public:
    explicit QuillonInput(const P2PPacket* pk);

    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    // A u16-length string.
    std::string str16(size_t maxLen = 65535);
    // A u32-length string (the send-state input's width).
    std::string str32(size_t maxLen = 0xFFFFFFFFu);
    bool ended() const { return m_ended; }

private:
    bool take(void* out, int len);

    Parser2 m_parser;
    const char* m_body;
    int m_blen;
    bool m_ended = false;
};

namespace QuillonSettings {

// The settings in effect: the application's, or the ones a test installed.
// Shared, not copied: a job reads a page path or two per request.
std::shared_ptr<const ConfigValues> values();
// Tests without an application: jobs read v (copied) from now on; nullptr
// goes back to the application's settings.
void setForTests(const ConfigValues* v);

}  // namespace QuillonSettings

namespace QuillonForm {

// name=value with the value percent-encoded, exactly its bytes (zero bytes
// included).
void text(URLEncode* form, const char* name, std::string_view value);
// name=value in decimal, as the WAS reads it (signed 32-bit).
void number(URLEncode* form, const char* name, int64_t value);
// name=value copied as is, for literal values.
void literal(URLEncode* form, const char* name, const char* value);
// The form's text so far, for the log lines that show the request.
std::string textOf(const URLEncode& form);

}  // namespace QuillonForm
