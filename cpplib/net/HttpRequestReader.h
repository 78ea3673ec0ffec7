#pragma once
// Reads one HTTP/1.x request head from bytes as they arrive, within a size
// bound, for small servers that take no request bodies. A value object of
// one connection; any thread, one caller at a time.

#include <cstddef>
#include <string>
#include <string_view>

class HttpRequestReader {
public:
    enum class state_t {
        MORE,    // the head has not ended yet
        DONE,    // a well-formed head: method(), target(), version()
        FAILED,  // refused: status() says why
    };

    static constexpr size_t kDefaultMaxHeadBytes = 8192;

    explicit HttpRequestReader(size_t maxHeadBytes = kDefaultMaxHeadBytes) : m_max(maxHeadBytes) {}

    // Takes the next bytes. Once DONE or FAILED, further bytes are ignored.
    state_t feed(const char* data, size_t len);
    state_t state() const { return m_state; }

    // The status a refusal is answered with: 400 a malformed request line or
    // header, 431 a head past the bound, 413 a request with a body, 505 an
    // HTTP version other than 1.0 and 1.1. 0 unless FAILED.
    int status() const { return m_status; }
    // Why, for a one-line reply body.
    const std::string& reason() const { return m_reason; }

    const std::string& method() const { return m_method; }
    const std::string& target() const { return m_target; }
    // The target without its query.
    std::string_view path() const;
    const std::string& version() const { return m_version; }

private:
    state_t fail(int status, std::string reason);
    state_t parseHead(std::string_view head);
    bool parseRequestLine(std::string_view line);
    bool parseHeader(std::string_view line);

    size_t m_max;
    std::string m_head;
    state_t m_state = state_t::MORE;
    int m_status = 0;
    std::string m_reason;
    std::string m_method;
    std::string m_target;
    std::string m_version;
};
